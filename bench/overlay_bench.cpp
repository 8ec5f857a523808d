// One overlay pass as Explorer makes it (seven overlay classes asked about every item) over
// 1,000 items, against seven raw block-reading exchanges per item, in one run; and IsMemberOf
// for an item in an ignored folder.
#include <cstdio>

#include "bench/bench_support.h"
#include "bench/dll_support.h"

int main() {
    constexpr int kItems = 1000;
    bench::StateServer server;
    // A state server of its own in the settings folder, as the application publishes it.
    const bench::PublishedPort published(bench::knownFolder(CSIDL_APPDATA) + L"\\Quorvane\\statuscache-1",
                                         L".statuscache", server.port());
    const bench::LoadedExtension extension;
    IShellIconOverlayIdentifier* overlays[7];
    for (int k = 0; k < 7; ++k) overlays[k] = extension.create<IShellIconOverlayIdentifier>(k + 1, IID_IShellIconOverlayIdentifier);
    if (!overlays[0]) {
        std::fputs("cannot create the overlay objects\n", stderr);
        return 1;
    }
    std::vector<std::wstring> items;
    for (int i = 0; i < kItems; ++i) items.push_back(L"D:\\projects\\quarterly\\report-" + std::to_wstring(i) + L".docx");
    std::vector<std::string> requests;
    for (int i = 0; i < kItems; ++i)
        requests.push_back("get-states\nD:\\\\projects\\\\quarterly\\\\report-" + std::to_string(i) + ".docx\n\n");

    const double pass = bench::microsecondsPerCall(3, [&] {
        for (const std::wstring& item : items)
            for (IShellIconOverlayIdentifier* overlay : overlays) overlay->IsMemberOf(item.c_str(), 0);
    });
    const SOCKET raw = bench::connectRaw(server.port());
    const double rawPass = bench::microsecondsPerCall(3, [&] {
        for (const std::string& request : requests)
            for (int k = 0; k < 7; ++k) bench::rawExchange(raw, request, true);
    });
    closesocket(raw);
    const std::wstring ignored = bench::knownFolder(CSIDL_PROFILE) + L"\\Desktop\\notes.txt";
    const double ignoredCall = bench::microsecondsPerCall(100000, [&] { overlays[0]->IsMemberOf(ignored.c_str(), 0); });
    for (IShellIconOverlayIdentifier* overlay : overlays) overlay->Release();

    std::printf("overlay pass: 7 classes x %d items\n", kItems);
    bench::printRow("IsMemberOf pass", pass / 1000, "ms");
    bench::printRow("7 raw block-reading exchanges per item", rawPass / 1000, "ms");
    bench::printRow("IsMemberOf, item in an ignored folder", ignoredCall);
    bench::printRatio("IsMemberOf pass / raw exchanges", pass / rawPass, "<= 1.5");
    return 0;
}
