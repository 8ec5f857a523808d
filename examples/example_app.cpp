// A minimal application for the Quorvane Explorer integration, written from docs/protocol.md:
// it serves the command server (which also answers the states), publishes its port and lock
// files, and pushes a changed path to Tavrel.
//
//   example_app ROOT [--lifetime-ms N]
//
// Every item under ROOT is "Synced"; folders offer a command group, files a quick command.
#include <winsock2.h>
#include <windows.h>
#include <shlobj.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

namespace {

std::wstring g_root;

// Protocol lines are 7-bit ASCII: "\" doubled, every other unit outside 0x20-0x7F as \uXXXX.
std::string encode(const std::wstring& line) {
    std::string bytes;
    for (wchar_t c : line) {
        char escape[8];
        if (c == L'\\') bytes += "\\\\";
        else if (c >= 0x20 && c <= 0x7F) bytes += static_cast<char>(c);
        else bytes.append(escape, std::snprintf(escape, sizeof escape, "\\u%04x", static_cast<unsigned>(c)));
    }
    return bytes + "\n";
}

std::wstring decode(const std::string& bytes) {
    std::wstring line;
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (bytes[i] != '\\' || i + 1 >= bytes.size()) line += static_cast<wchar_t>(static_cast<unsigned char>(bytes[i]));
        else if (bytes[++i] == '\\') line += L'\\';
        else if (bytes[i] == 'u' && i + 4 < bytes.size()) line += static_cast<wchar_t>(std::stoul(bytes.substr(i + 1, 4), nullptr, 16)), i += 4;
    }
    return line;
}

// Reads one line (without its LF, and without a CR before it); false at the end of the stream.
bool readLine(SOCKET s, std::wstring& line) {
    std::string bytes;
    for (char c; recv(s, &c, 1, 0) == 1;) {
        if (c == '\n') {
            if (!bytes.empty() && bytes.back() == '\r') bytes.pop_back();
            line = decode(bytes);
            return true;
        }
        bytes += c;
    }
    return false;
}

void sendLines(SOCKET s, const std::vector<std::wstring>& lines) {
    std::string bytes;
    for (const std::wstring& line : lines) bytes += encode(line);
    send(s, bytes.data(), static_cast<int>(bytes.size()), 0);
}

bool isUnderRoot(const std::wstring& path) {
    return CompareStringOrdinal(path.c_str(), static_cast<int>(std::min(path.size(), g_root.size())), g_root.c_str(),
                                static_cast<int>(g_root.size()), TRUE) == CSTR_EQUAL &&
           (path.size() == g_root.size() || path[g_root.size()] == L'\\');
}

// Connects to Tavrel and sends one changed path; an empty line ends the connection.
void pushToTavrel(int port, const std::wstring& path) {
    SOCKET s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<u_short>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(s, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) sendLines(s, {path, L""});
    closesocket(s);
}

// One connection: requests in a row (name, arguments, empty line) until the client closes it.
void serve(SOCKET s) {
    for (std::wstring name; readLine(s, name) && !name.empty();) {
        std::vector<std::wstring> arguments;
        for (std::wstring line; readLine(s, line) && !line.empty();) arguments.push_back(line);
        if (name == L"get-states") {
            const bool ours = arguments.size() == 1 && isUnderRoot(arguments[0]);
            sendLines(s, {ours ? arguments[0] + L"\tSynced" : L"not applicable", L""});
        } else if (name == L"get-commands") {
            const bool folder = arguments.size() == 1 && (GetFileAttributesW(arguments[0].c_str()) & FILE_ATTRIBUTE_DIRECTORY);
            if (folder) sendLines(s, {L"group\t2\tshare\tShare", L"link\tCopy link\ttrue", L"invite\tInvite\tfalse", L""});
            else sendLines(s, {L"quick-commands\t1", L"history\tShow versions\ttrue", L""});
        } else if (name == L"notify-started" && arguments.size() == 1) {
            pushToTavrel(std::stoi(arguments[0]), g_root);
        } else {
            std::wprintf(L"command %ls for %zu items\n", name.c_str(), arguments.size());  // nothing is answered
            std::fflush(stdout);
        }
    }
    closesocket(s);
}

std::wstring folderOf(int csidl) {
    wchar_t path[MAX_PATH];
    return SUCCEEDED(SHGetFolderPathW(nullptr, csidl, nullptr, SHGFP_TYPE_CURRENT, path)) ? path : L"";
}

std::wstring programVersion() {
    wchar_t version[260] = {};
    DWORD bytes = sizeof version - sizeof(wchar_t);
    RegGetValueW(HKEY_LOCAL_MACHINE, L"Software\\Quorvane", nullptr, RRF_RT_REG_SZ, nullptr, version, &bytes);
    return version;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 2) return std::fputs("usage: example_app ROOT [--lifetime-ms N]\n", stderr), 2;
    g_root = argv[1];
    const DWORD lifetime = argc == 4 && std::wstring(argv[2]) == L"--lifetime-ms" ? std::wcstoul(argv[3], nullptr, 10) : INFINITE;
    WSADATA wsa;
    WSAStartup(MAKEWORD(2, 2), &wsa);

    SOCKET listener = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);  // port 0: the system picks a free one
    int length = sizeof address;
    if (bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(listener, SOMAXCONN) != 0 ||
        getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0)
        return std::fputs("cannot listen\n", stderr), 1;

    // The command server's files: "<host>.port" and "<host>.port.lock" in the version folder.
    char host[256] = {};
    gethostname(host, sizeof host);
    const std::wstring folder = folderOf(CSIDL_APPDATA) + L"\\Quorvane\\" + programVersion();
    const std::wstring portFile = folder + L"\\" + std::wstring(host, host + std::strlen(host)) + L".port";
    CreateDirectoryW((folderOf(CSIDL_APPDATA) + L"\\Quorvane").c_str(), nullptr);
    CreateDirectoryW(folder.c_str(), nullptr);
    const std::string port = std::to_string(ntohs(address.sin_port));
    HANDLE file = CreateFileW(portFile.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS, 0, nullptr);
    DWORD written = 0;
    WriteFile(file, port.data(), static_cast<DWORD>(port.size()), &written, nullptr);
    CloseHandle(file);
    // Held open without delete sharing while we serve; it goes with the process.
    HANDLE lock = CreateFileW((portFile + L".lock").c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              CREATE_ALWAYS, FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    if (lock == INVALID_HANDLE_VALUE) return std::fputs("cannot hold the lock file\n", stderr), 1;
    std::printf("example_app serving on port %s\n", port.c_str());
    std::fflush(stdout);

    // Tavrel may already run (started by Explorer before us): its port is in its own port file.
    std::ifstream tavrel(std::filesystem::path(folderOf(CSIDL_APPDATA) + L"\\Quorvane\\" +
                                               std::wstring(host, host + std::strlen(host)) + L".statusupdates-1.port"));
    if (int tavrelPort = 0; tavrel >> tavrelPort) pushToTavrel(tavrelPort, g_root);

    std::thread([listener] {
        for (SOCKET s; (s = accept(listener, nullptr, nullptr)) != INVALID_SOCKET;) std::thread(serve, s).detach();
    }).detach();
    Sleep(lifetime);
    CloseHandle(lock);
    DeleteFileW(portFile.c_str());
    return 0;
}
