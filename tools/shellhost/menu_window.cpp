#include "tools/shellhost/menu_window.h"

#include <cstdio>
#include <vector>

#include "common/handles.h"

namespace {

constexpr wchar_t kWindowClass[] = L"QuorvaneMenuHost";
constexpr wchar_t kMenuWindowClass[] = L"#32768";  // the system's class of popup menu windows
constexpr UINT kTickMs = 100;
constexpr int kMaxTicks = 600;
constexpr int kMenuLeft = 24, kMenuTop = 24;

struct Showing {
    std::wstring stopFile;
    std::size_t menusWanted;
    int ticks = 0;
    bool reported = false;
};

BOOL CALLBACK collectMenuWindow(HWND window, LPARAM rectangles) {
    wchar_t name[16] = {};
    RECT rectangle;
    if (GetClassNameW(window, name, 16) && std::wstring(name) == kMenuWindowClass && IsWindowVisible(window) &&
        GetWindowRect(window, &rectangle))
        reinterpret_cast<std::vector<RECT>*>(rectangles)->push_back(rectangle);
    return TRUE;
}

void reportMenus(const std::vector<RECT>& menus) {
    std::printf("menu shown:");
    for (const RECT& r : menus) std::printf(" %ld,%ld,%ld,%ld", r.left, r.top, r.right, r.bottom);
    std::printf("\n");
    std::fflush(stdout);
}

// Runs inside the menu's own message loop, which dispatches the window's timer.
void onTick(Showing& showing) {
    std::vector<RECT> menus;
    EnumWindows(collectMenuWindow, reinterpret_cast<LPARAM>(&menus));
    if (!showing.reported && menus.size() >= showing.menusWanted) {
        reportMenus(menus);
        showing.reported = true;
    }
    if (GetFileAttributesW(showing.stopFile.c_str()) != INVALID_FILE_ATTRIBUTES || ++showing.ticks > kMaxTicks)
        EndMenu();
}

LRESULT CALLBACK windowProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message != WM_TIMER) return DefWindowProcW(window, message, wParam, lParam);
    onTick(*reinterpret_cast<Showing*>(GetWindowLongPtrW(window, GWLP_USERDATA)));
    return 0;
}

// Down to the entry (the menu skips separators, not greyed entries), then right into it. The
// keys wait in the queue until the menu's loop reads them.
bool pressKeysToOpen(HWND window, HMENU menu, const std::wstring& label) {
    int downs = 0;
    for (int i = 0, count = GetMenuItemCount(menu); i < count; ++i) {
        wchar_t text[256] = {};
        MENUITEMINFOW item = {};
        item.cbSize = sizeof item;
        item.fMask = MIIM_FTYPE | MIIM_STRING | MIIM_SUBMENU;
        item.dwTypeData = text;
        item.cch = 256;
        if (!GetMenuItemInfoW(menu, static_cast<UINT>(i), TRUE, &item) || (item.fType & MFT_SEPARATOR)) continue;
        ++downs;
        if (!item.hSubMenu || label != text) continue;
        for (; downs > 0; --downs) PostMessageW(window, WM_KEYDOWN, VK_DOWN, 0);
        PostMessageW(window, WM_KEYDOWN, VK_RIGHT, 0);
        return true;
    }
    return false;
}

WindowHandle createOwner() {
    WNDCLASSW windowClass = {};
    windowClass.lpfnWndProc = windowProcedure;
    windowClass.hInstance = GetModuleHandleW(nullptr);
    windowClass.lpszClassName = kWindowClass;
    RegisterClassW(&windowClass);
    // Never shown: under Wine's X11 driver the menus of a visible owner stay unpainted.
    return WindowHandle(CreateWindowExW(0, kWindowClass, L"Quorvane menu", WS_POPUP, 0, 0, 1, 1, nullptr, nullptr,
                                        windowClass.hInstance, nullptr));
}

}  // namespace

bool showMenuOnScreen(HMENU menu, const std::wstring& open, const std::wstring& stopFile) {
    Showing showing{stopFile, open.empty() ? 1u : 2u};
    const WindowHandle owner = createOwner();
    if (!owner) return false;
    SetWindowLongPtrW(owner.get(), GWLP_USERDATA, reinterpret_cast<LONG_PTR>(&showing));
    SetTimer(owner.get(), 1, kTickMs, nullptr);
    SetForegroundWindow(owner.get());
    if (!open.empty() && !pressKeysToOpen(owner.get(), menu, open)) showing.menusWanted = 1;
    // Returns the choice, none here: the stop closes the menu without one.
    TrackPopupMenu(menu, TPM_LEFTALIGN | TPM_TOPALIGN | TPM_RETURNCMD, kMenuLeft, kMenuTop, 0, owner.get(), nullptr);
    KillTimer(owner.get(), 1);
    return showing.reported;
}
