#include "tools/shellhost/menu.h"

#include <windows.h>
#include <shlobj.h>

#include <memory>

#include "common/handles.h"
#include "tools/shellhost/menu_window.h"
#include "tools/shellhost/registration.h"

namespace {

constexpr UINT kFirstId = 100;
constexpr UINT kLastId = 0x7FFF;

template <typename Interface>
class Com {
public:
    Com() = default;
    ~Com() {
        if (p) p->Release();
    }
    Com(const Com&) = delete;
    Com& operator=(const Com&) = delete;
    Interface* p = nullptr;
};

class IdList {
public:
    ~IdList() { CoTaskMemFree(list); }
    PIDLIST_ABSOLUTE list = nullptr;
};

// The selection as Explorer hands it over: a data object made by the items' parent folder.
HRESULT selectionDataObject(const std::vector<std::wstring>& paths, IDataObject** data) {
    std::vector<std::unique_ptr<IdList>> items;
    std::vector<PCUITEMID_CHILD> children;
    Com<IShellFolder> parent;
    for (const std::wstring& path : paths) {
        items.push_back(std::make_unique<IdList>());
        HRESULT hr = SHParseDisplayName(path.c_str(), nullptr, &items.back()->list, 0, nullptr);
        if (FAILED(hr)) return hr;
        PCUITEMID_CHILD child = nullptr;
        if (!parent.p) {
            hr = SHBindToParent(items.back()->list, IID_IShellFolder, reinterpret_cast<void**>(&parent.p), &child);
            if (FAILED(hr)) return hr;
        } else {
            child = ILFindLastID(items.back()->list);
        }
        children.push_back(child);
    }
    return parent.p->GetUIObjectOf(nullptr, static_cast<UINT>(children.size()), children.data(), IID_IDataObject,
                                   nullptr, reinterpret_cast<void**>(data));
}

std::wstring commandString(IContextMenu* menu, UINT offset, UINT kind) {
    wchar_t text[256] = {};
    if (FAILED(menu->GetCommandString(offset, kind, nullptr, reinterpret_cast<char*>(text), 256))) return L"-";
    return text;
}

std::wstring bitmapText(HBITMAP bitmap) {
    BITMAP info = {};
    if (!bitmap || !GetObjectW(bitmap, sizeof info, &info)) return L"";
    return L"  [bitmap " + std::to_wstring(info.bmWidth) + L"x" + std::to_wstring(info.bmHeight) + L"x" +
           std::to_wstring(info.bmBitsPixel) + L"]";
}

void printMenu(HMENU menu, IContextMenu* handler, int depth, std::wostream& out) {
    const std::wstring indent(static_cast<std::size_t>(depth) * 2, L' ');
    const int count = GetMenuItemCount(menu);
    for (int i = 0; i < count; ++i) {
        wchar_t label[256] = {};
        MENUITEMINFOW item = {};
        item.cbSize = sizeof item;
        item.fMask = MIIM_FTYPE | MIIM_STATE | MIIM_ID | MIIM_STRING | MIIM_BITMAP | MIIM_SUBMENU;
        item.dwTypeData = label;
        item.cch = 256;
        if (!GetMenuItemInfoW(menu, static_cast<UINT>(i), TRUE, &item)) continue;
        if (item.fType & MFT_SEPARATOR) {
            out << indent << L"----\n";
            continue;
        }
        const UINT offset = item.wID - kFirstId;
        out << indent << (item.hSubMenu ? L"> " : L"") << label << L"  [id " << item.wID << L", offset " << offset
            << L"]" << ((item.fState & MFS_GRAYED) ? L"  [greyed]" : L"") << bitmapText(item.hbmpItem)
            << L"  verb=" << commandString(handler, offset, GCS_VERBW) << L" help="
            << commandString(handler, offset, GCS_HELPTEXTW) << L"\n";
        if (item.hSubMenu) printMenu(item.hSubMenu, handler, depth + 1, out);
    }
}

// The offset of the entry whose label is the text (searched depth first), or of "#offset".
int findOffset(HMENU menu, const std::wstring& wanted) {
    if (!wanted.empty() && wanted[0] == L'#') return std::stoi(wanted.substr(1));
    for (int i = 0, count = GetMenuItemCount(menu); i < count; ++i) {
        wchar_t label[256] = {};
        MENUITEMINFOW item = {};
        item.cbSize = sizeof item;
        item.fMask = MIIM_ID | MIIM_STRING | MIIM_SUBMENU;
        item.dwTypeData = label;
        item.cch = 256;
        if (!GetMenuItemInfoW(menu, static_cast<UINT>(i), TRUE, &item)) continue;
        if (item.hSubMenu) {
            const int inner = findOffset(item.hSubMenu, wanted);
            if (inner >= 0) return inner;
        }
        if (wanted == label) return static_cast<int>(item.wID - kFirstId);
    }
    return -1;
}

}  // namespace

bool showMenu(const MenuRequest& request, std::wostream& out) {
    CLSID classId;
    CLSIDFromString(contextMenuClassId().c_str(), &classId);
    Com<IShellExtInit> init;
    if (FAILED(CoCreateInstance(classId, nullptr, CLSCTX_INPROC_SERVER, IID_IShellExtInit,
                                reinterpret_cast<void**>(&init.p)))) {
        out << L"cannot create the context-menu object\n";
        return false;
    }
    Com<IDataObject> data;
    if (!request.paths.empty() && FAILED(selectionDataObject(request.paths, &data.p))) {
        out << L"cannot make a data object of the selection\n";
        return false;
    }
    IdList folder;
    if (!request.background.empty()) SHParseDisplayName(request.background.c_str(), nullptr, &folder.list, 0, nullptr);
    const HRESULT initialized = init.p->Initialize(folder.list, data.p, nullptr);
    out << L"Initialize: " << (initialized == S_OK ? L"S_OK" : L"E_INVALIDARG") << L"\n";

    Com<IContextMenu> handler;
    init.p->QueryInterface(IID_IContextMenu, reinterpret_cast<void**>(&handler.p));
    MenuHandle menu(CreatePopupMenu());
    const HRESULT built = handler.p->QueryContextMenu(menu.get(), 0, kFirstId, kLastId, request.flags);
    out << L"QueryContextMenu: " << HRESULT_CODE(built) << L" identifiers\n";
    printMenu(menu.get(), handler.p, 1, out);
    if (!request.showUntil.empty() && !showMenuOnScreen(menu.get(), request.open, request.showUntil)) {
        out << L"cannot show the menu on screen\n";
        return false;
    }

    if (!request.invoke.empty()) {
        const int offset = findOffset(menu.get(), request.invoke);
        CMINVOKECOMMANDINFO info = {};
        info.cbSize = sizeof info;
        info.lpVerb = MAKEINTRESOURCEA(offset < 0 ? 0 : offset);
        info.nShow = SW_SHOWNORMAL;
        const HRESULT invoked = offset < 0 ? E_INVALIDARG : handler.p->InvokeCommand(&info);
        out << L"InvokeCommand offset " << offset << L": " << (invoked == S_OK ? L"S_OK" : L"E_INVALIDARG") << L"\n";
    }
    return true;
}
