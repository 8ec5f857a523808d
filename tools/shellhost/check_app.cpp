// shellhost check-app: the running application's servers, rule by rule, as the extension uses
// them. The checks read the replies' bytes themselves, so that they see what was on the wire.
#include "tools/shellhost/check_app.h"

#include <winsock2.h>

#include <algorithm>
#include <memory>
#include <optional>

#include "common/decimal.h"
#include "common/settings.h"
#include "common/text_error.h"
#include "extension/menu_entries.h"
#include "link/command_tree.h"
#include "link/quorvane.h"
#include "tools/shellhost/doctor_support.h"
#include "tools/shellhost/registration.h"
#include "wire/encoding.h"
#include "wire/line_socket.h"

namespace {

// How long a reply line may be late before it counts as never coming: well beyond the
// extension's patience, so that a slow server is told from a silent one.
constexpr DWORD kPatienceMs = 5000;
constexpr std::size_t kLongPathUnits = 300;  // beyond MAX_PATH
constexpr wchar_t kMadeUpFolder[] = L"C:\\quorvane-check-app";

std::int32_t receiveTimeoutMs() {
    const std::optional<std::int32_t> configured = parseDecimal(readConfigValue(L"recv-timeout", false));
    return configured && *configured > 0 ? *configured : Quorvane::kDefaultReceiveTimeoutMs;
}

// Lines as bytes, each without its LF.
class RawLines {
public:
    explicit RawLines(const LineSocket& socket) : socket_(socket) {}
    // None when nothing came within waitMs, or the stream ended.
    std::optional<std::string> next(DWORD waitMs) {
        for (;;) {
            const std::size_t end = buffer_.find('\n');
            if (end != std::string::npos) {
                std::string line = buffer_.substr(0, end);
                buffer_.erase(0, end + 1);
                return line;
            }
            if (closed_ || !readable(waitMs)) return std::nullopt;
            char block[4096];
            const int got = recv(socket_.handle(), block, sizeof block, 0);
            if (got <= 0) closed_ = true;
            if (got > 0) buffer_.append(block, static_cast<std::size_t>(got));
        }
    }
    bool closed() const noexcept { return closed_; }

private:
    bool readable(DWORD waitMs) {
        fd_set set;
        FD_ZERO(&set);
        FD_SET(socket_.handle(), &set);
        timeval wait = {static_cast<long>(waitMs / 1000), static_cast<long>(waitMs % 1000) * 1000};
        return select(0, &set, nullptr, nullptr, &wait) > 0;
    }

    const LineSocket& socket_;
    std::string buffer_;
    bool closed_ = false;
};

struct RawReply {
    std::vector<std::string> lines;  // without wait markers, line ends and the closing empty line
    int waitMarkers = 0;  // the most in a row
    bool crlf = false;
    bool closedEarly = false;  // the stream ended before the reply's empty line
    DWORD slowestLineMs = 0;
    std::wstring failure;  // why the reply is incomplete; empty when it is complete
};

// One connection as the extension keeps it, its bytes read here.
struct Connection {
    explicit Connection(std::int32_t port, std::int32_t receiveMs) {
        socket.connectTo("127.0.0.1", static_cast<std::uint16_t>(port), receiveMs, receiveMs);
    }
    LineSocket socket;
    RawLines lines{socket};
};

RawReply exchangeRaw(Connection& connection, const std::wstring& name, const std::vector<std::wstring>& arguments) {
    RawReply reply;
    std::vector<std::wstring_view> request{name};
    request.insert(request.end(), arguments.begin(), arguments.end());
    request.push_back(L"");
    try {
        connection.socket.writeLines(request);
    } catch (const TextError& e) {
        reply.failure = L"sending failed: " + e.text();
        return reply;
    }
    for (int markers = 0;;) {
        const ULONGLONG start = GetTickCount64();
        std::optional<std::string> line = connection.lines.next(kPatienceMs);
        reply.slowestLineMs = std::max(reply.slowestLineMs, static_cast<DWORD>(GetTickCount64() - start));
        if (!line) {
            reply.closedEarly = connection.lines.closed();
            reply.failure = reply.closedEarly ? L"the connection was closed before the reply's empty line"
                                              : L"no reply line within " + std::to_wstring(kPatienceMs) + L" ms";
            return reply;
        }
        if (!line->empty() && line->back() == '\r') {
            reply.crlf = true;
            line->pop_back();
        }
        if (line->empty()) return reply;
        const std::wstring trimmed = trimBlanks(std::wstring(line->begin(), line->end()));
        if (trimmed.empty() || trimmed == L".") {
            reply.waitMarkers = std::max(reply.waitMarkers, ++markers);
            continue;
        }
        markers = 0;
        reply.lines.push_back(std::move(*line));
    }
}

// The reply's lines decoded as the extension decodes them, after the wire rules are checked;
// none when a rule failed.
std::optional<std::vector<std::wstring>> checkWire(const std::wstring& what, const RawReply& reply,
                                                   std::int32_t receiveMs, Report& report) {
    if (!reply.failure.empty()) return report.fail(what + L": " + reply.failure), std::nullopt;
    if (reply.slowestLineMs > static_cast<DWORD>(receiveMs))
        return report.fail(what + L": a reply line took " + std::to_wstring(reply.slowestLineMs) +
                           L" ms; the extension waits " + std::to_wstring(receiveMs) +
                           L" ms for each line: send a wait marker \".\" at least that often while working"),
               std::nullopt;
    if (reply.waitMarkers > Quorvane::kMaxWaitMarkers)
        return report.fail(what + L": " + std::to_wstring(reply.waitMarkers) + L" wait markers in a row; the extension gives "
                           L"up after " + std::to_wstring(Quorvane::kMaxWaitMarkers) + L" in a row"),
               std::nullopt;
    if (reply.crlf)
        report.warn(what + L": lines end with CR LF; the extension takes CR LF as one line end, but LF alone is the "
                           L"protocol's");
    std::vector<std::wstring> lines;
    for (const std::string& bytes : reply.lines) {
        if (const std::wstring foreign = foreignBytes(bytes); !foreign.empty())
            return report.fail(what + L": the reply line holds " + foreign +
                               L": send 7-bit ASCII, each UTF-16 unit above 0x7F as \\uXXXX"),
                   std::nullopt;
        try {
            lines.push_back(trimBlanks(decodeLine(bytes)));
        } catch (const TextError& e) {
            return report.fail(what + L": a reply line cannot be decoded: " + e.text()), std::nullopt;
        }
    }
    return lines;
}

std::wstring listed(const std::vector<std::wstring>& texts) {
    std::wstring list;
    for (const std::wstring& text : texts) list += (list.empty() ? L"" : L", ") + quoted(text);
    return list;
}

std::wstring stateProblem(const std::wstring& state, const std::vector<std::wstring>& ids) {
    if (std::find(ids.begin(), ids.end(), state) != ids.end()) return L"";
    for (const std::wstring& id : ids)
        if (sameText(id, state))
            return L"differs from the overlay class id " + quoted(id) + L" in letter case only (names match exactly)";
    return L"is no overlay class's id; the registered ids are " + listed(ids) + L" (matched exactly)";
}

void checkStateReply(const std::wstring& what, const std::wstring& path, const std::vector<std::wstring>& lines,
                     const std::vector<std::wstring>& ids, Report& report) {
    if (lines.empty()) return report.fail(what + L": empty reply; answer <path> TAB <state> or \"not applicable\"");
    if (lines.size() > 1)
        report.warn(what + L": " + std::to_wstring(lines.size()) + L" reply lines; the extension reads the first only");
    const std::vector<std::wstring> tokens = splitTokens(lines.front());
    if (tokens.size() == 1 && tokens[0] == L"not applicable") return report.ok(what + L": not applicable");
    if (tokens.size() != 2)
        return report.fail(what + L": " + quoted(lines.front()) + L" is neither <path> TAB <state> nor \"not applicable\"");
    if (tokens[0] != path)
        return report.fail(what + L": the reply names " + quoted(tokens[0]) +
                           (sameText(tokens[0], path) ? L", which differs in letter case only" : L"") +
                           L"; the extension takes a state only for the very path it sent: echo it unchanged");
    if (ids.empty()) return report.warn(what + L": state " + quoted(tokens[1]) + L", but no overlay class is registered");
    const std::wstring problem = stateProblem(tokens[1], ids);
    if (!problem.empty()) return report.fail(what + L": state " + quoted(tokens[1]) + L" " + problem);
    report.ok(what + L": " + quoted(tokens[1]));
}

// The states' names as the extension's overlay classes hold them, read as the extension reads
// them: in the registry view of this program's word size.
std::vector<std::wstring> overlayIds() {
    const View own{0, L"", 0, true};
    std::vector<std::wstring> ids;
    for (const OverlayClass& overlay : overlayClasses()) {
        const RegistryValue id = readValue(HKEY_CLASSES_ROOT, L"CLSID\\" + overlay.classId, L"id", own);
        if (id.found && !id.text.empty()) ids.push_back(id.text);
    }
    return ids;
}

// The paths given, and from the first one's folder a name above U+00FF (a surrogate pair
// included) and a path longer than MAX_PATH.
std::vector<std::wstring> pathsToAsk(const std::vector<std::wstring>& given) {
    std::vector<std::wstring> paths = given;
    std::wstring folder = given.empty() ? kMadeUpFolder : given.front();
    const std::size_t cut = folder.find_last_of(L'\\');
    if (!given.empty() && cut != std::wstring::npos && cut > 2) folder.erase(cut);
    paths.push_back(folder + L"\\check-app \x00e9\x0142\x4e16\x754c \xd83d\xde00.txt");
    paths.push_back(folder + L"\\" + std::wstring(kLongPathUnits, L'x') + L".txt");
    return paths;
}

void checkStates(const std::wstring& server, std::int32_t port, const std::vector<std::wstring>& paths,
                 std::int32_t receiveMs, Report& report) {
    const std::vector<std::wstring> ids = overlayIds();
    try {
        auto connection = std::make_unique<Connection>(port, receiveMs);
        bool closesEach = false;
        for (std::size_t i = 0; i < paths.size(); ++i) {
            RawReply reply = exchangeRaw(*connection, L"get-states", {paths[i]});
            if (i > 0 && reply.closedEarly && reply.lines.empty()) {
                closesEach = true;
                connection = std::make_unique<Connection>(port, receiveMs);
                reply = exchangeRaw(*connection, L"get-states", {paths[i]});
            }
            const std::wstring what = server + L": get-states " + quoted(paths[i].size() > 80 ? paths[i].substr(0, 60) +
                                      L"... (" + std::to_wstring(paths[i].size()) + L" characters)" : paths[i]);
            if (const auto lines = checkWire(what, reply, receiveMs, report)) checkStateReply(what, paths[i], *lines, ids, report);
        }
        if (closesEach)
            report.warn(server + L": closes the connection after each reply; the extension keeps one connection for "
                                 L"all overlay questions and must connect anew each time: serve requests in a row");
        else
            report.ok(server + L": " + std::to_wstring(paths.size()) + L" requests in a row on one kept connection");
    } catch (const TextError& e) {
        report.fail(server + L": cannot connect: " + e.text());
    }
}

std::wstring lineNumber(std::size_t index, std::size_t count) {
    return index < count ? L"line " + std::to_wstring(index + 1) : L"the end of the reply";
}

void checkFlags(const std::vector<std::wstring>& lines, Report& report) {
    for (std::size_t i = 0; i < lines.size(); ++i) {
        const std::vector<std::wstring> tokens = splitTokens(lines[i]);
        if (tokens.size() == 3 && tokens[0] != L"quick-commands" && tokens[2] != L"true" && tokens[2] != L"false")
            report.fail(L"get-commands: line " + std::to_wstring(i + 1) + L": enabled flag " + quoted(tokens[2]) +
                        L" is neither \"true\" nor \"false\"; the entry is shown greyed");
    }
}

void collectEntries(const CommandCollection& entries, std::vector<const Command*>& all) {
    for (const std::unique_ptr<Command>& entry : entries) {
        all.push_back(entry.get());
        if (const auto* group = dynamic_cast<const CommandGroup*>(entry.get())) collectEntries(group->children(), all);
    }
}

void checkIcons(const CommandTree& tree, Report& report) {
    std::vector<const Command*> all;
    if (tree.quickCommands) collectEntries(*tree.quickCommands, all);
    for (const std::unique_ptr<CommandGroup>& group : tree.groups) {
        all.push_back(group.get());
        collectEntries(group->children(), all);
    }
    const std::wstring folder = menuIconFolder();
    if (folder.empty()) return report.warn(L"get-commands: no installation folder configured, so no entry has an icon");
    std::vector<std::wstring> missing;
    for (const Command* entry : all)
        if (const std::wstring file = menuIconFile(folder, *entry); !file.empty() && !fileExists(file)) missing.push_back(file);
    if (missing.empty()) return report.ok(L"get-commands: icon files present for all " + std::to_wstring(all.size()) + L" entries");
    report.warn(L"get-commands: " + std::to_wstring(missing.size()) + L" of " + std::to_wstring(all.size()) +
                L" entries show without an icon; missing: " + listed(missing));
}

void checkCommands(std::int32_t port, const std::vector<std::wstring>& paths, std::int32_t receiveMs, Report& report) {
    std::optional<std::vector<std::wstring>> lines;
    try {
        Connection connection(port, receiveMs);
        lines = checkWire(L"get-commands", exchangeRaw(connection, L"get-commands", paths), receiveMs, report);
    } catch (const TextError& e) {
        return report.fail(L"get-commands: cannot connect: " + e.text());
    }
    if (!lines) return;
    if (lines->empty()) return report.warn(L"get-commands: empty reply, so the menu shows no commands for these items");
    checkFlags(*lines, report);
    std::size_t failedLine = 0;
    try {
        const std::unique_ptr<CommandTree> tree = parseCommandTree(*lines, &failedLine);
        report.ok(L"get-commands: " + std::to_wstring(lines->size()) + L" lines follow the command-tree grammar");
        checkIcons(*tree, report);
    } catch (const TextError& e) {
        const std::wstring at = lineNumber(failedLine, lines->size());
        report.fail(L"get-commands: the reply breaks the grammar at " + at +
                    (failedLine < lines->size() ? L" " + quoted((*lines)[failedLine]) : L"") + L": " + e.text() +
                    L"; the menu shows no commands");
    }
}

void sendCommand(std::int32_t port, const CheckAppRequest& request, std::int32_t receiveMs, Report& report) {
    if (request.command.empty())
        return report.ok(L"commands: none sent, as they act; name one with --command NAME");
    try {
        Connection connection(port, receiveMs);
        std::vector<std::wstring_view> lines{request.command};
        lines.insert(lines.end(), request.paths.begin(), request.paths.end());
        lines.push_back(L"");
        connection.socket.writeLines(lines);
        if (connection.lines.next(static_cast<DWORD>(receiveMs)))
            return report.warn(L"command " + quoted(request.command) +
                               L": the server answered; the extension reads nothing back and closes the connection");
        report.ok(L"command " + quoted(request.command) + L" sent with " + std::to_wstring(request.paths.size()) +
                  L" paths on a connection of its own");
    } catch (const TextError& e) {
        report.fail(L"command " + quoted(request.command) + L": " + e.text());
    }
}

}  // namespace

int runCheckApp(const CheckAppRequest& request, std::wostream& out) {
    // Like the doctor, the checks leave no line in the trace log.
    winsockGuard().acquire(WinsockGuard::StartRecord::Unlogged);
    Report report(out);
    const ServerPorts ports = checkServers(viewsToCheck().front(), report);
    const std::int32_t receiveMs = receiveTimeoutMs();
    if (request.paths.empty())
        report.warn(L"no paths given: get-states is asked only about made-up paths in " + std::wstring(kMadeUpFolder));
    if (ports.state != 0)
        checkStates(ports.state == ports.command ? L"command server" : L"state server", ports.state,
                    pathsToAsk(request.paths), receiveMs, report);
    if (ports.command != 0) {
        checkCommands(ports.command, request.paths, receiveMs, report);
        sendCommand(ports.command, request, receiveMs, report);
    }
    return report.verdict();
}
