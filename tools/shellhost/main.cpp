// shellhost: does with compreh.dll what Explorer does, through COM and the registered classes,
// and prints what a user would see. Also writes and removes the installer's registry entries.
#include <windows.h>
#include <objbase.h>

#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

#include "tools/shellhost/check_app.h"
#include "tools/shellhost/doctor.h"
#include "tools/shellhost/explorer_menu.h"
#include "tools/shellhost/menu.h"
#include "tools/shellhost/overlays.h"
#include "tools/shellhost/registration.h"
#include "tools/shellhost/sample_icons.h"

namespace {

int usage() {
    std::fputs(
        "usage: shellhost register DLL [DLL] ICON-FOLDER | unregister\n"
        "       shellhost configure VERSION INSTALL-FOLDER [NAME=VALUE...] | unconfigure\n"
        "       shellhost sample-icons [--overlay] FOLDER NAME...\n"
        "       shellhost overlays [--picture PNG-FILE] FOLDER | PATH...\n"
        "       shellhost menu [--background FOLDER] [--flags N] [--invoke LABEL|#OFFSET]\n"
        "                      [--show STOP-FILE [--open LABEL]] [PATH...]\n"
        "       shellhost commands [--invoke TITLE/TITLE...] PATH...\n"
        "       shellhost doctor\n"
        "       shellhost check-app [--command NAME] [PATH...]\n",
        stderr);
    return 2;
}

// UTF-8 on standard output, so that any path prints whole whatever the console's code page.
void printUtf8(const std::wstring& text) {
    const int bytes = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0,
                                          nullptr, nullptr);
    std::string utf8(static_cast<std::size_t>(bytes), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), utf8.data(), bytes, nullptr, nullptr);
    std::fwrite(utf8.data(), 1, utf8.size(), stdout);
    std::fflush(stdout);
}

bool parseMenuRequest(const std::vector<std::wstring>& args, MenuRequest& request) {
    for (std::size_t i = 0; i < args.size(); ++i) {
        const bool hasValue = i + 1 < args.size();
        if (args[i] == L"--background" && hasValue)
            request.background = args[++i];
        else if (args[i] == L"--flags" && hasValue)
            request.flags = static_cast<unsigned>(std::wcstoul(args[++i].c_str(), nullptr, 0));
        else if (args[i] == L"--invoke" && hasValue)
            request.invoke = args[++i];
        else if (args[i] == L"--show" && hasValue)
            request.showUntil = args[++i];
        else if (args[i] == L"--open" && hasValue)
            request.open = args[++i];
        else if (args[i].rfind(L"--", 0) == 0)
            return false;
        else
            request.paths.push_back(args[i]);
    }
    return !request.paths.empty() || !request.background.empty();
}

// PATH... with one optional "OPTION VALUE" among them; false for any other option.
bool parsePathsAndOption(const std::vector<std::wstring>& args, const wchar_t* option, std::wstring& value,
                         std::vector<std::wstring>& paths) {
    for (std::size_t i = 0; i < args.size(); ++i) {
        if (args[i] == option && i + 1 < args.size())
            value = args[++i];
        else if (args[i].rfind(L"--", 0) == 0)
            return false;
        else
            paths.push_back(args[i]);
    }
    return true;
}

class ComApartment {
public:
    ComApartment() { CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED); }
    ~ComApartment() {
        CoFreeUnusedLibraries();
        CoUninitialize();
    }
};

}  // namespace

int wmain(int argc, wchar_t** argv) {
    _setmode(_fileno(stdout), _O_BINARY);  // plain LF line ends, the same for every reader
    const std::vector<std::wstring> args(argv + 1, argv + argc);
    if (args.empty()) return usage();
    const std::wstring& command = args[0];
    const std::vector<std::wstring> rest(args.begin() + 1, args.end());

    if (command == L"register" && (rest.size() == 2 || rest.size() == 3))
        return registerExtension({rest.begin(), rest.end() - 1}, rest.back()) ? 0 : 1;
    if (command == L"unregister" && rest.empty()) return unregisterExtension(), 0;
    if (command == L"configure" && rest.size() >= 2)
        return configureApplication(rest[0], rest[1], {rest.begin() + 2, rest.end()}) ? 0 : 1;
    if (command == L"unconfigure" && rest.empty()) return unconfigureApplication(), 0;
    if (command == L"sample-icons" && rest.size() >= 2) {
        const bool overlay = rest[0] == L"--overlay";
        if (overlay && rest.size() < 3) return usage();
        const std::size_t folder = overlay ? 1 : 0;
        return writeSampleIcons(rest[folder], {rest.begin() + folder + 1, rest.end()}, overlay) ? 0 : 1;
    }

    ComApartment com;
    std::wostringstream out;
    int result = 2;
    MenuRequest menu;
    if (command == L"overlays" && !rest.empty()) {
        const bool picture = rest[0] == L"--picture" && rest.size() > 2;
        const std::vector<std::wstring> paths(rest.begin() + (picture ? 2 : 0), rest.end());
        if (rest[0].rfind(L"--", 0) != 0 || picture) result = showOverlays(paths, picture ? rest[1] : L"", out) ? 0 : 1;
    }
    if (command == L"menu" && parseMenuRequest(rest, menu)) result = showMenu(menu, out) ? 0 : 1;
    CommandsRequest commands;
    if (command == L"commands" && parsePathsAndOption(rest, L"--invoke", commands.invoke, commands.paths) &&
        !commands.paths.empty())
        result = showExplorerCommands(commands, out) ? 0 : 1;
    if (command == L"doctor" && rest.empty()) result = runDoctor(out);
    CheckAppRequest check;
    if (command == L"check-app" && parsePathsAndOption(rest, L"--command", check.command, check.paths))
        result = runCheckApp(check, out);
    printUtf8(out.str());
    return result == 2 ? usage() : result;
}
