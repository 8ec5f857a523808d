#include "tools/shellhost/overlays.h"

#include <windows.h>
#include <shlobj.h>

#include <algorithm>

#include "tools/shellhost/registration.h"

namespace {

struct Overlay {
    std::wstring state;
    std::wstring icon;
    IShellIconOverlayIdentifier* identifier = nullptr;
};

std::vector<Overlay> createOverlays() {
    std::vector<Overlay> overlays;
    for (const OverlayClass& overlayClass : overlayClasses()) {
        CLSID classId;
        CLSIDFromString(overlayClass.classId.c_str(), &classId);
        Overlay overlay{overlayClass.state, L"", nullptr};
        if (FAILED(CoCreateInstance(classId, nullptr, CLSCTX_INPROC_SERVER, IID_IShellIconOverlayIdentifier,
                                    reinterpret_cast<void**>(&overlay.identifier))))
            continue;
        wchar_t icon[MAX_PATH] = {};
        int index = 0;
        DWORD flags = 0;
        if (overlay.identifier->GetOverlayInfo(icon, MAX_PATH, &index, &flags) == S_OK) overlay.icon = icon;
        overlays.push_back(overlay);
    }
    return overlays;
}

std::vector<std::wstring> itemsOf(const std::vector<std::wstring>& paths) {
    if (paths.size() != 1) return paths;
    const DWORD attributes = GetFileAttributesW(paths[0].c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY)) return paths;
    std::vector<std::wstring> items;
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((paths[0] + L"\\*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) return items;
    do {
        const std::wstring name = found.cFileName;
        if (name != L"." && name != L"..") items.push_back(paths[0] + L"\\" + name);
    } while (FindNextFileW(search, &found));
    FindClose(search);
    std::sort(items.begin(), items.end());
    return items;
}

}  // namespace

bool showOverlays(const std::vector<std::wstring>& paths, std::wostream& out) {
    std::vector<Overlay> overlays = createOverlays();
    for (const std::wstring& item : itemsOf(paths)) {
        const Overlay* shown = nullptr;
        const DWORD attributes = GetFileAttributesW(item.c_str());
        for (const Overlay& overlay : overlays) {
            if (overlay.identifier->IsMemberOf(item.c_str(), attributes) == S_OK) {
                shown = &overlay;  // the highest-priority match wins; all have priority 0
                break;
            }
        }
        out << item << L'\t' << (shown ? shown->state + L'\t' + shown->icon : std::wstring(L"-")) << L'\n';
    }
    for (Overlay& overlay : overlays) overlay.identifier->Release();
    return !overlays.empty();
}
