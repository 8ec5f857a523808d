#include "tools/shellhost/overlays.h"

#include <windows.h>
#include <shellapi.h>
#include <shlobj.h>

#include <algorithm>

#include "common/handles.h"
#include "tools/shellhost/picture.h"
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

const Overlay* overlayOf(const std::vector<Overlay>& overlays, const std::wstring& item) {
    const DWORD attributes = GetFileAttributesW(item.c_str());
    for (const Overlay& overlay : overlays)
        if (overlay.identifier->IsMemberOf(item.c_str(), attributes) == S_OK)
            return &overlay;  // the highest-priority match wins; all have priority 0
    return nullptr;
}

void drawIcon(HDC dc, int x, HICON icon) {
    if (icon) DrawIconEx(dc, x, kPictureIconTop, icon, kPictureIconSize, kPictureIconSize, 0, nullptr, DI_NORMAL);
}

void drawText(HDC dc, int left, int top, const std::wstring& text, COLORREF color) {
    RECT box = {left + 4, top, left + kPictureCellWidth - 4, top + 16};
    SetTextColor(dc, color);
    DrawTextW(dc, text.c_str(), -1, &box, DT_CENTER | DT_SINGLELINE | DT_END_ELLIPSIS | DT_NOPREFIX);
}

// The item's shell icon with the overlay over it, as Explorer composes them: the overlay icon
// at the icon's size over the whole icon. Name and state beneath.
void drawItem(HDC dc, int left, const std::wstring& item, const Overlay* shown) {
    SHFILEINFOW info = {};
    SHGetFileInfoW(item.c_str(), 0, &info, sizeof info, SHGFI_ICON | SHGFI_LARGEICON);
    const IconHandle icon(info.hIcon);
    const int x = left + (kPictureCellWidth - kPictureIconSize) / 2;
    drawIcon(dc, x, icon.get());
    if (shown) {
        const IconHandle overlay(static_cast<HICON>(LoadImageW(nullptr, shown->icon.c_str(), IMAGE_ICON,
                                                               kPictureIconSize, kPictureIconSize, LR_LOADFROMFILE)));
        drawIcon(dc, x, overlay.get());
    }
    const int textTop = kPictureIconTop + kPictureIconSize + 6;
    drawText(dc, left, textTop, item.substr(item.find_last_of(L'\\') + 1), RGB(0, 0, 0));
    drawText(dc, left, textTop + 16, shown ? shown->state : L"no overlay", RGB(0x70, 0x70, 0x70));
}

bool drawPicture(const std::vector<std::pair<std::wstring, const Overlay*>>& shown, const std::wstring& path) {
    Picture picture(kPictureCellWidth * static_cast<int>(std::max<std::size_t>(shown.size(), 1)), kPictureHeight);
    if (!picture.valid()) return false;
    SelectObject(picture.dc(), GetStockObject(DEFAULT_GUI_FONT));
    SetBkMode(picture.dc(), TRANSPARENT);
    for (std::size_t i = 0; i < shown.size(); ++i)
        drawItem(picture.dc(), static_cast<int>(i) * kPictureCellWidth, shown[i].first, shown[i].second);
    return picture.writePng(path);
}

}  // namespace

bool showOverlays(const std::vector<std::wstring>& paths, const std::wstring& picture, std::wostream& out) {
    std::vector<Overlay> overlays = createOverlays();
    std::vector<std::pair<std::wstring, const Overlay*>> shown;
    for (const std::wstring& item : itemsOf(paths)) {
        shown.emplace_back(item, overlayOf(overlays, item));
        const Overlay* overlay = shown.back().second;
        out << item << L'\t' << (overlay ? overlay->state + L'\t' + overlay->icon : std::wstring(L"-")) << L'\n';
    }
    bool ok = !overlays.empty();
    if (!picture.empty() && !drawPicture(shown, picture)) {
        out << L"cannot write the picture " << picture << L'\n';
        ok = false;
    }
    for (Overlay& overlay : overlays) overlay.identifier->Release();
    return ok;
}
