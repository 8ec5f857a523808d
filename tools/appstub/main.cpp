// appstub: a stand-in for the Quorvane application, for end-to-end tests, the demo and
// developers. It serves the command and state servers, publishes them as the application
// does, answers from a rules file and a commands file, journals every request, and can be
// told to misbehave. USAGE.md describes the command line.
#include <windows.h>

#include <atomic>
#include <cstdio>
#include <map>
#include <optional>
#include <string>
#include <string_view>

#include "common/decimal.h"
#include "common/settings.h"
#include "common/text_error.h"
#include "tools/appstub/files.h"
#include "tools/appstub/server.h"

namespace {

constexpr std::uint16_t kFirstPort = 50000;
constexpr DWORD kConsoleStopWaitMs = 3000;  // the system ends a closing console's process soon after

struct Options {
    StubSettings stub;
    std::wstring commandFolder;
    std::wstring stateFolder;
    std::wstring readyFile;
    bool refuse = false;
    bool noStateServer = false;
    bool portFileBom = false;
    int lifetimeMs = 0;  // 0: until told to stop
};

const char kUsage[] =
    "usage: appstub [--rules FILE] [--commands FILE] [--journal FILE] [--ready-file FILE]\n"
    "               [--command-folder DIR] [--state-folder DIR] [--no-state-server] [--refuse]\n"
    "               [--wait-markers N] [--delay-ms N] [--close-mid-reply] [--malformed]\n"
    "               [--crlf] [--one-connection-at-a-time] [--raw-utf8] [--bom] [--lower-case-path]\n"
    "               [--close-after-reply] [--port-file-bom] [--lifetime-ms N]\n";

bool parseOptions(int argc, wchar_t** argv, Options& options) {
    const std::map<std::wstring_view, std::wstring*> texts = {
        {L"--rules", &options.stub.rulesFile},       {L"--commands", &options.stub.commandsFile},
        {L"--journal", &options.stub.journalFile},   {L"--ready-file", &options.readyFile},
        {L"--command-folder", &options.commandFolder}, {L"--state-folder", &options.stateFolder}};
    const std::map<std::wstring_view, int*> numbers = {{L"--wait-markers", &options.stub.faults.waitMarkers},
                                                       {L"--delay-ms", &options.stub.faults.delayMs},
                                                       {L"--lifetime-ms", &options.lifetimeMs}};
    const std::map<std::wstring_view, bool*> switches = {{L"--close-mid-reply", &options.stub.faults.closeMidReply},
                                                         {L"--malformed", &options.stub.faults.malformed},
                                                         {L"--raw-utf8", &options.stub.faults.rawUtf8},
                                                         {L"--crlf", &options.stub.crlf},
                                                         {L"--one-connection-at-a-time",
                                                          &options.stub.faults.oneConnectionAtATime},
                                                         {L"--bom", &options.stub.faults.byteOrderMark},
                                                         {L"--lower-case-path", &options.stub.faults.lowerCasePath},
                                                         {L"--close-after-reply", &options.stub.faults.closeAfterReply},
                                                         {L"--port-file-bom", &options.portFileBom},
                                                         {L"--refuse", &options.refuse},
                                                         {L"--no-state-server", &options.noStateServer}};
    for (int i = 1; i < argc; ++i) {
        const std::wstring_view name = argv[i];
        if (const auto s = switches.find(name); s != switches.end()) {
            *s->second = true;
            continue;
        }
        if (i + 1 == argc) return false;
        const wchar_t* value = argv[++i];
        if (const auto t = texts.find(name); t != texts.end()) {
            *t->second = value;
        } else if (const auto n = numbers.find(name); n != numbers.end()) {
            const std::optional<std::int32_t> number = parseDecimal(value);
            if (!number || *number < 0) return false;
            *n->second = *number;
        } else {
            return false;
        }
    }
    return true;
}

// Where the application keeps the command server's files: the version folder, or the profile
// settings folder when no version is configured.
std::wstring commandFolder(const Options& options) {
    if (!options.commandFolder.empty()) return options.commandFolder;
    const std::wstring version = readProgramVersion();
    const std::wstring folder = version.empty() ? getProfileSettingsFolder() : getSettingsFolder() + L"\\" + version;
    if (folder.empty()) throw TextError(L"no folder for the command server's files; use --command-folder");
    return folder;
}

std::wstring stateFolder(const Options& options) {
    return options.stateFolder.empty() ? getSettingsFolder() + L"\\statuscache-1" : options.stateFolder;
}

// Console events arrive on a thread of their own: ask for the stop, then give the main thread
// a moment to remove the published files before the system ends the process.
std::atomic<Stub*> g_stub{nullptr};
HANDLE g_filesWithdrawn = nullptr;

BOOL WINAPI onConsoleEvent(DWORD) {
    if (Stub* stub = g_stub.load()) {
        stub->requestStop();
        WaitForSingleObject(g_filesWithdrawn, kConsoleStopWaitMs);
    }
    return TRUE;
}

class ConsoleStop {
public:
    explicit ConsoleStop(Stub& stub) : withdrawn_(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {
        g_filesWithdrawn = withdrawn_.get();
        g_stub = &stub;
        SetConsoleCtrlHandler(onConsoleEvent, TRUE);
    }
    ~ConsoleStop() {
        SetConsoleCtrlHandler(onConsoleEvent, FALSE);
        g_stub = nullptr;
    }
    ConsoleStop(const ConsoleStop&) = delete;
    ConsoleStop& operator=(const ConsoleStop&) = delete;
    void filesWithdrawn() noexcept { SetEvent(withdrawn_.get()); }

private:
    KernelHandle withdrawn_;
};

void announceReady(const Options& options, std::uint16_t commandPort, std::uint16_t statePort) {
    const std::string line =
        "appstub ready command=" + std::to_string(commandPort) + " state=" + std::to_string(statePort) + "\n";
    std::fputs(line.c_str(), stdout);
    std::fflush(stdout);
    if (!options.readyFile.empty() && !writeFileAtomically(options.readyFile, line))
        throw TextError(L"cannot write the ready file " + options.readyFile);
}

int run(const Options& options) {
    Stub stub(options.stub);
    Listener commandServer(stub);
    Listener stateServer(stub);
    const std::uint16_t commandPort = commandServer.listenOnFreePort(kFirstPort);
    const std::uint16_t statePort = options.noStateServer ? 0 : stateServer.listenOnFreePort(commandPort + 1);

    std::optional<Publication> commandFiles;
    std::optional<Publication> stateFiles;
    const std::string portPrefix = options.portFileBom ? "\xEF\xBB\xBF" : "";
    commandFiles.emplace(commandFolder(options), L"", commandPort, portPrefix);
    if (statePort != 0) stateFiles.emplace(stateFolder(options), L".statuscache", statePort, portPrefix);

    if (options.refuse) {
        commandServer.refuse();
        stateServer.refuse();
    } else {
        commandServer.start();
        if (statePort != 0) stateServer.start();
    }
    ConsoleStop consoleStop(stub);
    announceReady(options, commandPort, statePort);

    // Runs until a quit request or a console event, or for --lifetime-ms.
    WaitForSingleObject(stub.stopEvent(), options.lifetimeMs > 0 ? static_cast<DWORD>(options.lifetimeMs) : INFINITE);
    stub.requestStop();
    // Files first, so that clients stop finding us at once; the connections end after.
    stateFiles.reset();
    commandFiles.reset();
    consoleStop.filesWithdrawn();
    stateServer.stop();
    commandServer.stop();
    return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    Options options;
    if (!parseOptions(argc, argv, options)) {
        std::fputs(kUsage, stderr);
        return 2;
    }
    try {
        return run(options);
    } catch (const TextError& e) {
        report(e.text());
        return 1;
    }
}
