// Fetching the command tree, sending a chosen command, and starting the application.
#include "common/settings.h"
#include "common/text_error.h"
#include "link/command_line.h"
#include "link/command_tree.h"
#include "link/quorvane.h"
#include "wire/line_socket.h"

namespace {

// Writes the failure being handled as "<prefix>: <text>", or "<prefix> (unknown)" for anything
// that is not our own TextError. Call only from a catch block. Running out of memory while
// writing leaves the line out: nothing may reach Explorer.
void logCurrentFailure(Logger& logger, const std::wstring& prefix) noexcept {
    try {
        try {
            throw;
        } catch (const TextError& e) {
            logger.error(prefix + L": " + e.text());
        } catch (...) {
            logger.error(prefix + L" (unknown)");
        }
    } catch (...) {
    }
}

// The reply lines to "get-commands", on a connection made for this request alone and closed
// before the reply is looked at.
std::vector<std::wstring> fetchCommandReply(Quorvane& link, const std::vector<std::wstring>& paths) {
    std::vector<std::wstring> replies;
    const std::unique_ptr<LineSocket> connection = link.openConnection(link.commandServerPort());
    link.exchangeRequest(L"get-commands", paths, *connection, replies);
    return replies;
}

std::wstring defaultProgram(const std::wstring& installFolder) {
    const bool separated = installFolder.back() == L'\\';
    return installFolder + (separated ? L"" : L"\\") + L"bin\\quorvane.exe";
}

// The program's own process group keeps Explorer's Ctrl+C and Ctrl+Break away from it. Without
// the console switch a console program gets no console window to flash up beside Explorer.
DWORD creationFlags(bool console) { return CREATE_NEW_PROCESS_GROUP | (console ? 0 : CREATE_NO_WINDOW); }

// Starts the program named first on the command line, inheriting no handles; nothing of the
// new process is kept.
bool createProcess(std::wstring commandLine, const std::wstring& folder, DWORD flags) {
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION created = {};
    if (!CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, flags, nullptr, folder.c_str(), &startup,
                        &created))
        return false;
    const KernelHandle process(created.hProcess);
    const KernelHandle thread(created.hThread);
    return true;
}

}  // namespace

std::unique_ptr<CommandTree> Quorvane::getCommands(std::vector<std::wstring> paths) noexcept {
    try {
        logger_->debug(L"Quorvane::getCommands");
        if (!checkCommandServerRunning()) return nullptr;
        return parseCommandTree(fetchCommandReply(*this, paths));
    } catch (...) {
        logCurrentFailure(*logger_, L"Error while retrieving commands");
    }
    return nullptr;
}

void Quorvane::sendCommand(std::wstring command, std::vector<std::wstring> paths) noexcept {
    try {
        logger_->debug(L"Quorvane::sendCommand");
        if (!checkCommandServerRunning()) {
            logger_->debug(L"command server not running");
            return;
        }
        // One-way: the application answers nothing, so the connection is closed right after.
        const std::unique_ptr<LineSocket> connection = openConnection(commandServerPort_);
        postRequest(command, paths, *connection);
    } catch (...) {
        logCurrentFailure(*logger_, L"Error while sending commands");
    }
}

void Quorvane::launch(std::wstring path) noexcept {
    try {
        logger_->debug(L"Quorvane::launch");
        startApplication(std::move(path));
    } catch (...) {
        logCurrentFailure(*logger_, L"Error while sending commands");
    }
}

bool Quorvane::startApplication(std::wstring path) {
    try {
        logger_->debug(L"Quorvane::startApplication");
        const std::wstring installFolder = readConfigValue(L"", true);
        if (installFolder.empty()) {
            logger_->error(L"Quorvane::startApplication could not determine path");
            return false;
        }
        std::wstring program = readConfigValue(L"executable", false);
        if (program.empty()) program = defaultProgram(installFolder);
        const std::optional<std::wstring> commandLine = commandLineFor(program, path);
        if (!commandLine || !createProcess(*commandLine, installFolder, creationFlags(readConfigSwitch(L"console")))) {
            logger_->error(L"Starting " + program + L" failed.");
            return false;
        }
        logger_->write(L"Quorvane::startApplication application successfully started");
        return true;
    } catch (...) {
        logCurrentFailure(*logger_, L"Error while sending commands");
    }
    return false;
}
