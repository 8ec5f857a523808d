#include "extension/menu_icons.h"

#include "common/handles.h"
#include "link/quorvane.h"

namespace {

// The icon is drawn at this size whatever the small-icon size is.
constexpr int kIconDrawSize = 16;

HBITMAP failConversion(Quorvane& link, const wchar_t* what, const std::wstring& path) {
    link.cacheIcon(path, nullptr);
    link.logger().write(what + path);
    return nullptr;
}

}  // namespace

HRESULT Create32BitHBITMAP(HDC dc, const SIZE* size, void** bits, HBITMAP* bitmap) {
    if (!size) return E_INVALIDARG;
    if (!bitmap) return E_POINTER;
    *bitmap = nullptr;
    BITMAPINFO info = {};
    info.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
    info.bmiHeader.biWidth = size->cx;
    info.bmiHeader.biHeight = size->cy;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    if (dc) {
        *bitmap = CreateDIBSection(dc, &info, DIB_RGB_COLORS, bits, nullptr, 0);
    } else {
        WindowDc screen(nullptr);
        if (screen.get()) *bitmap = CreateDIBSection(screen.get(), &info, DIB_RGB_COLORS, bits, nullptr, 0);
    }
    return *bitmap ? S_OK : E_OUTOFMEMORY;
}

HBITMAP loadIconBitmap(Quorvane& link, const std::wstring& path) {
    if (HBITMAP cached = link.cachedIcon(path)) {
        link.logger().debug(L"Icon already loaded: " + path);
        return cached;
    }
    IconHandle icon(static_cast<HICON>(
        LoadImageW(nullptr, path.c_str(), IMAGE_ICON, 0, 0, LR_LOADFROMFILE | LR_CREATEDIBSECTION)));
    if (!icon) {
        link.cacheIcon(path, nullptr);
        link.logger().debug(L"Could not load icon (NULL): " + path);
        return nullptr;
    }
    const HWND desktop = GetDesktopWindow();
    if (!desktop) return failConversion(link, L"GetDesktopWindow failed: ", path);
    WindowDc desktopDc(desktop);
    if (!desktopDc.get()) return failConversion(link, L"GetDC(hWnd) failed: ", path);
    MemoryDc drawing(CreateCompatibleDC(desktopDc.get()));
    if (!drawing) return failConversion(link, L"CreateCompatibleDC(orgDc) failed: ", path);

    BitmapHandle bitmap;
    {
        MemoryDc screenCompatible(CreateCompatibleDC(nullptr));
        const SIZE size = {GetSystemMetrics(SM_CXSMICON), GetSystemMetrics(SM_CYSMICON)};
        HBITMAP made = nullptr;
        if (!screenCompatible || FAILED(Create32BitHBITMAP(screenCompatible.get(), &size, nullptr, &made)))
            return failConversion(link, L"Create32BitHBITMAP failed: ", path);
        bitmap.reset(made);
    }
    const HGDIOBJ previous = SelectObject(drawing.get(), bitmap.get());
    if (!previous || previous == HGDI_ERROR) return failConversion(link, L"SelectObject failed: ", path);
    link.logger().write(L"Loading icon: " + path + L", icon size: " + int64ToText(kIconDrawSize) + L"x" +
                        int64ToText(kIconDrawSize));
    DrawIconEx(drawing.get(), 0, 0, icon.get(), kIconDrawSize, kIconDrawSize, 0, nullptr, DI_NORMAL);
    // The bitmap must leave the context before either goes: a selected bitmap cannot be used.
    SelectObject(drawing.get(), previous);
    link.cacheIcon(path, bitmap.get());
    return bitmap.release();
}
