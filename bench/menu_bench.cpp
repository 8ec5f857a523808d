// A full context menu of 50 entries, built as Explorer builds it: the first time (every icon
// file converted) and the second time (every icon cached). Then the Explorer command of
// Windows 11's first menu: its UI-thread state question for selections of 1, 2,000 and 20,000
// items, the background question that fetches the tree for them, and the UI thread's time in
// EnumSubCommands while a fetch of 2 s is in flight.
#include <shobjidl.h>
#include <wrl/client.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <thread>

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

using Microsoft::WRL::ComPtr;
using Clock = std::chrono::steady_clock;

double microsecondsSince(Clock::time_point start) {
    return std::chrono::duration<double, std::micro>(Clock::now() - start).count();
}

// The selection as the shell makes it: items of paths that need not exist.
ComPtr<IShellItemArray> selectionOf(std::size_t count) {
    std::vector<PIDLIST_ABSOLUTE> lists;
    for (std::size_t i = 0; i < count; ++i)
        lists.push_back(SHSimpleIDListFromPath((L"C:\\menu-bench\\items\\file " + std::to_wstring(i) + L".txt").c_str()));
    ComPtr<IShellItemArray> items;
    SHCreateShellItemArrayFromIDLists(static_cast<UINT>(lists.size()), const_cast<PCIDLIST_ABSOLUTE*>(lists.data()),
                                      &items);
    for (PIDLIST_ABSOLUTE list : lists) CoTaskMemFree(list);
    return items;
}

// GetState(FALSE) for a new selection each time, as each new menu brings one: the median, so
// that a round that waited for another process of the machine does not count.
double uiStateMicroseconds(IExplorerCommand* root, IShellItemArray* items, IShellItemArray* between) {
    std::vector<double> rounds;
    for (int i = 0; i < 21; ++i) {
        EXPCMDSTATE state = ECS_HIDDEN;
        root->GetState(between, FALSE, &state);
        const auto start = Clock::now();
        root->GetState(items, FALSE, &state);
        rounds.push_back(microsecondsSince(start));
    }
    std::nth_element(rounds.begin(), rounds.begin() + rounds.size() / 2, rounds.end());
    return rounds[rounds.size() / 2];
}

double backgroundStateMicroseconds(IExplorerCommand* root, IShellItemArray* items) {
    EXPCMDSTATE state = ECS_HIDDEN;
    root->GetState(items, FALSE, &state);
    const auto start = Clock::now();
    root->GetState(items, TRUE, &state);
    return microsecondsSince(start);
}

void benchExplorerCommand(const bench::LoadedExtension& extension, bench::StateServer& server) {
    IExplorerCommand* created = extension.create<IExplorerCommand>(8, IID_IExplorerCommand);
    if (!created) return;
    const ComPtr<IExplorerCommand> root(created);
    created->Release();  // root holds it now
    const std::size_t sizes[] = {1, 2000, 20000};
    std::vector<ComPtr<IShellItemArray>> selections;
    for (std::size_t size : sizes) selections.push_back(selectionOf(size));
    const ComPtr<IShellItemArray> between = selectionOf(1);
    if (!between) return;

    std::printf("Explorer command (Windows 11's first menu)\n");
    double ui[3] = {}, background[3] = {};
    for (int i = 0; i < 3; ++i) ui[i] = uiStateMicroseconds(root.Get(), selections[i].Get(), between.Get());
    for (int i = 0; i < 3; ++i) background[i] = backgroundStateMicroseconds(root.Get(), selections[i].Get());
    char what[96];
    for (int i = 0; i < 3; ++i) {
        std::snprintf(what, sizeof what, "GetState(FALSE), UI thread, %zu item%s (median)", sizes[i], sizes[i] == 1 ? "" : "s");
        bench::printRow(what, ui[i]);
    }
    bench::printRatio("GetState(FALSE) 20,000 items / 1 item", ui[2] / ui[0], "1");
    for (int i = 0; i < 3; ++i) {
        std::snprintf(what, sizeof what, "GetState(TRUE), background, %zu item%s (paths, fetch)", sizes[i],
                      sizes[i] == 1 ? "" : "s");
        bench::printRow(what, background[i] / 1000, "ms");
    }

    // The UI thread reads the tree while the background thread fetches it again for the same
    // selection, waiting for the application.
    backgroundStateMicroseconds(root.Get(), selections[1].Get());
    server.delayCommands(2000);
    const long asked = server.commandsAsked();
    EXPCMDSTATE state = ECS_HIDDEN;
    root->GetState(selections[1].Get(), FALSE, &state);
    double fetchMs = 0;
    std::thread fetch([&] {
        const auto start = Clock::now();
        root->GetState(selections[1].Get(), TRUE, &state);
        fetchMs = microsecondsSince(start) / 1000;
    });
    while (server.commandsAsked() == asked) Sleep(1);
    double longest = 0, total = 0;
    int calls = 0;
    for (; calls < 100; ++calls) {
        const auto start = Clock::now();
        ComPtr<IEnumExplorerCommand> commands;
        root->EnumSubCommands(&commands);
        const double spent = microsecondsSince(start);
        longest = std::max(longest, spent);
        total += spent;
    }
    fetch.join();
    server.delayCommands(0);
    bench::printRow("EnumSubCommands, UI thread, during a 2 s fetch (mean)", total / calls);
    bench::printRow("EnumSubCommands, UI thread, during a 2 s fetch (longest)", longest);
    bench::printRow("that GetState(TRUE), background, 2000 items", fetchMs, "ms");
    bench::printRow("get-commands requests for the whole sequence", static_cast<double>(server.commandsAsked() - asked),
                    "");
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
        std::printf("context menu of %u entries\n", entries);
        bench::printRow("first build (icons converted)", times[0]);
        bench::printRow("second build (icons cached)", times[1]);
        benchExplorerCommand(extension, server);
    }
    unconfigureApplication();
    return entries == 50 ? 0 : 1;
}
