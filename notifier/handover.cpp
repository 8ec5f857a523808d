// The extension's side of the notifier: starting Tavrel and telling the application its port.
#include <shlobj.h>

#include "common/settings.h"
#include "common/text_error.h"
#include "link/quorvane.h"
#include "notifier/port_file.h"
#include "notifier/tavrel_runner.h"
#include "wire/line_socket.h"

namespace {

std::wstring tavrelPath(const std::wstring& installFolder) {
    const std::wstring configured = readConfigValue(L"tavrel", false);
    return configured.empty() ? installFolder + L"\\bin\\Tavrel.exe" : configured;
}

}  // namespace

void Quorvane::runShellNotifier() noexcept {
    try {
        logger_->debug(L"Quorvane::runShellNotifier");
        const std::wstring installFolder = readConfigValue(L"", false);
        if (installFolder.empty()) {
            logger_->error(L"Quorvane::runShellNotifier Could not determine path");
            return;
        }
        const std::wstring path = tavrelPath(installFolder);
        logger_->debug(L"Quorvane::runShellNotifier tavrelPath=" + path);
        const bool justStarted = runner_->startTavrelOnce(path);
        logger_->debug(std::wstring(L"Quorvane::runShellNotifier notifyJustStarted=") + (justStarted ? L"1" : L"0"));
        logger_->debug(L"Quorvane::runShellNotifier notifyPort=" + int64ToText(notifierPort_.load()));
        if (!justStarted && notifierPort_.load() != 0) return;

        notifierPort_ = readTavrelPortFile();
        logger_->debug(L"Quorvane::runShellNotifier Loaded port " + int64ToText(notifierPort_.load()));
        if (!justStarted) return;
        logger_->debug(L"Quorvane::runShellNotifier Attempting to send notify-started command");
        sendNotifyStarted(notifierPort_.load());
    } catch (...) {
        // Explorer's thread must never see a failure of ours; the next call tries again.
    }
}

std::int32_t Quorvane::readTavrelPortFile() {
    const std::int32_t port = determinePort(getSettingsFolder(), kTavrelPortFileBase, *logger_, false);
    if (port != 0) return port;
    std::int32_t profilePort = 0;
    const std::wstring profile = getKnownFolderPath(CSIDL_PROFILE, false);
    if (profile.empty())
        logger_->debug(L"Quorvane::readTavrelPortFile Cannot read user profile directory");
    else
        profilePort = determinePort(profile + L"\\.quorvane", kTavrelPortFileBase, *logger_, false);
    if (profilePort != 0) return profilePort;
    logger_->debug(L"Quorvane::readTavrelPortFile Cannot read port file");
    return kFirstTavrelPort;
}

void Quorvane::sendNotifyStarted(std::int32_t port) noexcept {
    try {
        if (!checkStateServerRunning()) {
            logger_->debug(L"state server not running");
            return;
        }
        const std::vector<std::wstring> arguments{int64ToText(port)};
        std::unique_ptr<LineSocket> connection = openConnection(stateServerPort_);
        postRequest(L"notify-started", arguments, *connection);
        connection->close();
    } catch (const TextError& e) {
        logger_->error(L"Error while sending commands: " + e.text());
    } catch (...) {
        logger_->error(L"Error while sending commands (unknown)");
    }
}
