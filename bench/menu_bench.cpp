// A full context menu of 50 entries, built as Explorer builds it: the first time (every icon
// file converted) and the second time (every icon cached).
#include <cstdio>

#include "bench/bench_support.h"
#include "bench/dll_support.h"
#include "tools/shellhost/registration.h"
#include "tools/shellhost/sample_icons.h"

namespace {

constexpr wchar_t kVersion[] = L"bench-1";
constexpr wchar_t kInstall[] = L"C:\\menu-bench";

// Ten quick commands and four groups of ten: 50 entries with identifiers, each with an icon.
std::string treeOf50(std::vector<std::wstring>& names) {
    std::string reply = "quick-commands\t10\n";
    auto command = [&](const std::string& name) {
        names.push_back(std::wstring(name.begin(), name.end()));
        reply += name + "\tCommand " + name + "\ttrue\n";
    };
    for (int i = 0; i < 10; ++i) command("q" + std::to_string(i));
    for (int g = 0; g < 4; ++g) {
        const std::string group = "g" + std::to_string(g);
        names.push_back(std::wstring(group.begin(), group.end()));
        reply += "group\t9\t" + group + "\tGroup " + group + "\n";
        for (int i = 0; i < 9; ++i) command(group + "c" + std::to_string(i));
    }
    return reply;
}

}  // namespace

int main() {
    std::vector<std::wstring> names;
    bench::StateServer server(treeOf50(names));
    configureApplication(kVersion, kInstall, {L"shell-integration-full=true"});
    writeSampleIcons(std::wstring(kInstall) + L"\\lib\\icons", names);
    const bench::PublishedPort published(bench::knownFolder(CSIDL_APPDATA) + L"\\Quorvane\\" + kVersion, L"",
                                         server.port());
    double times[2] = {};
    UINT entries = 0;
    {
        const bench::LoadedExtension extension;
        IContextMenu* menu = extension.create<IContextMenu>(0, IID_IContextMenu);
        IShellExtInit* init = nullptr;
        if (!menu || FAILED(menu->QueryInterface(IID_IShellExtInit, reinterpret_cast<void**>(&init)))) return 1;
        PIDLIST_ABSOLUTE folder = nullptr;
        SHParseDisplayName(kInstall, nullptr, &folder, 0, nullptr);
        init->Initialize(folder, nullptr, nullptr);
        for (double& time : times) {
            HMENU popup = CreatePopupMenu();
            const auto start = std::chrono::steady_clock::now();
            entries = HRESULT_CODE(menu->QueryContextMenu(popup, 0, 1, 0x7FFF, CMF_EXPLORE));
            time = std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start).count();
            DestroyMenu(popup);
        }
        CoTaskMemFree(folder);
        init->Release();
        menu->Release();
    }
    unconfigureApplication();

    std::printf("context menu of %u entries\n", entries);
    bench::printRow("first build (icons converted)", times[0]);
    bench::printRow("second build (icons cached)", times[1]);
    return entries == 50 ? 0 : 1;
}
