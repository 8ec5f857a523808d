// CCompreh's context menu: the selection, the menu entries and the chosen command.
#include "extension/compreh.h"

#include <shellapi.h>
#include <shlwapi.h>

#include "common/settings.h"
#include "extension/menu_entries.h"
#include "extension/menu_icons.h"
#include "extension/module.h"
#include "link/command_tree.h"
#include "link/quorvane.h"

namespace {

constexpr wchar_t kVerbPrefix[] = L"quorvane-";

Logger& logger() { return applicationLink().logger(); }

HRESULT idsUsed(UINT count) { return MAKE_HRESULT(SEVERITY_SUCCESS, 0, count); }

// Releases a storage medium obtained from IDataObject::GetData.
class StorageMedium {
public:
    STGMEDIUM medium = {};
    ~StorageMedium() {
        if (medium.tymed != TYMED_NULL) ReleaseStgMedium(&medium);
    }
};

std::vector<std::wstring> droppedFiles(HDROP drop) {
    std::vector<std::wstring> names;
    const UINT count = DragQueryFileW(drop, 0xFFFFFFFF, nullptr, 0);
    for (UINT i = 0; i < count; ++i) {
        // Asked for its length first, so that a name of any length arrives whole.
        const UINT length = DragQueryFileW(drop, i, nullptr, 0);
        if (length == 0) continue;
        std::wstring name(length + 1, L'\0');
        name.resize(DragQueryFileW(drop, i, name.data(), length + 1));
        if (!name.empty()) names.push_back(std::move(name));
    }
    return names;
}

// A verb given as text (in the ANSI field, or in the wide one when the caller says it filled
// it) is never ours to take: only offsets name our entries. Every bit above the low 16 counts,
// so that a text at a high address is not read as an offset.
bool isTextVerb(const CMINVOKECOMMANDINFO& info) {
    if (!IS_INTRESOURCE(info.lpVerb)) return true;
    if (info.cbSize < sizeof(CMINVOKECOMMANDINFOEX) || !(info.fMask & CMIC_MASK_UNICODE)) return false;
    return !IS_INTRESOURCE(reinterpret_cast<const CMINVOKECOMMANDINFOEX&>(info).lpVerbW);
}

bool insertSeparator(HMENU menu, UINT position) {
    return InsertMenuW(menu, position, MF_SEPARATOR | MF_BYPOSITION, 0, nullptr) != FALSE;
}

}  // namespace

struct CCompreh::MenuBuild {
    UINT nextId;
    UINT lastId;
    std::uint64_t nextOffset = 0;
    std::wstring iconFolder;  // installation folder + "\lib\icons\", read once per menu
};

std::wstring CCompreh::getFolderNameForID(PCIDLIST_ABSOLUTE folder) {
    logger().debug(L"Comprehension::getFolderNameForID");
    IShellFolder* desktop = nullptr;
    if (FAILED(SHGetDesktopFolder(&desktop))) return {};
    std::wstring name;
    STRRET display = {};
    if (SUCCEEDED(desktop->GetDisplayNameOf(folder, SHGDN_FORPARSING, &display))) {
        wchar_t* text = nullptr;
        if (SUCCEEDED(StrRetToStrW(&display, folder, &text))) {
            name = text;
            CoTaskMemFree(text);
        }
    }
    desktop->Release();
    return name;
}

HRESULT CCompreh::initializeSelection(PCIDLIST_ABSOLUTE folder, IDataObject* data) {
    logger().debug(L"Comprehension::Initialize");
    selection_.clear();
    if (data) {
        FORMATETC format = {CF_HDROP, nullptr, DVASPECT_CONTENT, -1, TYMED_HGLOBAL};
        StorageMedium storage;
        if (FAILED(data->GetData(&format, &storage.medium))) return E_INVALIDARG;
        GlobalLockGuard locked(storage.medium.hGlobal);
        if (!locked.get()) return E_INVALIDARG;
        selection_ = droppedFiles(static_cast<HDROP>(locked.get()));
    }
    if (folder) {
        std::wstring name = getFolderNameForID(folder);
        if (!name.empty()) selection_.push_back(std::move(name));
    }
    return selection_.empty() ? E_INVALIDARG : S_OK;
}

STDMETHODIMP CCompreh::Initialize(PCIDLIST_ABSOLUTE folder, IDataObject* data, HKEY) {
    try {
        return initializeSelection(folder, data);
    } catch (...) {
        selection_.clear();
        return E_INVALIDARG;
    }
}

bool CCompreh::appendToMenu(MenuBuild& build, HMENU menu, const Command& entry, UINT position, HMENU submenu) {
    logger().debug(L"CCompreh::appendToMenu");
    std::wstring label = menuLabel(entry);
    if (build.nextId > build.lastId) {
        logger().debug(L"CCompreh::appendToMenu no identifier left for " + label);
        return false;
    }
    const std::wstring iconFile = menuIconFile(build.iconFolder, entry);
    HBITMAP bitmap = iconFile.empty() ? nullptr : loadIconBitmap(applicationLink(), iconFile);

    MENUITEMINFOW item = {};
    item.cbSize = sizeof item;
    item.fMask = MIIM_STATE | MIIM_ID | MIIM_STRING | MIIM_BITMAP | (submenu ? MIIM_SUBMENU : 0);
    item.fState = entry.enabled() ? MFS_ENABLED : MFS_DISABLED | MFS_GRAYED;
    item.wID = build.nextId;
    item.hSubMenu = submenu;
    item.dwTypeData = label.data();
    item.hbmpItem = bitmap;
    if (!InsertMenuItemW(menu, position, TRUE, &item)) return false;
    commandsByOffset_[build.nextOffset] = &entry;
    ++build.nextId;
    ++build.nextOffset;
    return true;
}

void CCompreh::appendGroupToMenu(MenuBuild& build, HMENU submenu, const CommandGroup& group) {
    logger().debug(L"CCompreh::appendGroupToMenu");
    UINT position = 0;
    for (const Command* entry : flattenGroup(group)) {
        const bool added = entry ? appendToMenu(build, submenu, *entry, position, nullptr)
                                 : insertSeparator(submenu, position);
        if (added) ++position;
    }
}

HRESULT CCompreh::buildMenu(HMENU menu, UINT index, UINT idCmdFirst, UINT idCmdLast, UINT flags) {
    logger().debug(L"Comprehension::QueryContextMenu");
    applicationLink().runShellNotifier();
    if (flags & CMF_DEFAULTONLY) return idsUsed(0);
    if ((flags & 0xF) && !(flags & (CMF_VERBSONLY | CMF_EXPLORE))) return idsUsed(0);

    if (!fullMenuMode()) {
        if (selection_.size() != 1 || idCmdFirst > idCmdLast) return idsUsed(0);
        MENUITEMINFOW item = {};
        item.cbSize = sizeof item;
        item.fMask = MIIM_ID | MIIM_STRING;
        item.wID = idCmdFirst;
        std::wstring label = kLaunchLabel;
        item.dwTypeData = label.data();
        insertSeparator(menu, index);
        InsertMenuItemW(menu, index + 1, TRUE, &item);
        insertSeparator(menu, index + 2);
        return idsUsed(1);
    }

    commandsByOffset_.clear();
    commandTree_ = applicationLink().getCommands(selection_);
    if (!commandTree_) return idsUsed(1);
    const bool noQuickCommands = !commandTree_->quickCommands || commandTree_->quickCommands->empty();
    if (noQuickCommands && commandTree_->groups.empty()) return idsUsed(1);

    MenuBuild build{idCmdFirst, idCmdLast, 0, menuIconFolder()};
    insertSeparator(menu, index);
    UINT position = index + 1;
    if (commandTree_->quickCommands)
        for (const std::unique_ptr<Command>& entry : *commandTree_->quickCommands)
            if (appendToMenu(build, menu, *entry, position, nullptr)) ++position;
    for (const std::unique_ptr<CommandGroup>& group : commandTree_->groups) {
        MenuHandle popup(CreatePopupMenu());
        appendGroupToMenu(build, popup.get(), *group);
        if (appendToMenu(build, menu, *group, position, popup.get())) {
            popup.release();  // the menu owns its submenu now
            ++position;
        }
    }
    insertSeparator(menu, position);
    return idsUsed(build.nextId - idCmdFirst);
}

STDMETHODIMP CCompreh::QueryContextMenu(HMENU menu, UINT index, UINT idCmdFirst, UINT idCmdLast, UINT flags) {
    try {
        return buildMenu(menu, index, idCmdFirst, idCmdLast, flags);
    } catch (...) {
        commandsByOffset_.clear();
        return idsUsed(0);
    }
}

STDMETHODIMP CCompreh::InvokeCommand(CMINVOKECOMMANDINFO* info) {
    try {
        logger().debug(L"Comprehension::InvokeCommand");
        if (!info || isTextVerb(*info)) return E_INVALIDARG;
        const auto offset = static_cast<std::uint64_t>(LOWORD(reinterpret_cast<UINT_PTR>(info->lpVerb)));
        Quorvane& link = applicationLink();
        if (!fullMenuMode()) {
            if (selection_.size() != 1) return E_INVALIDARG;
            link.launch(selection_.front());
            return S_OK;
        }
        const auto found = commandsByOffset_.find(offset);
        if (!link.isCommandServerKnown() || found == commandsByOffset_.end()) return E_INVALIDARG;
        link.sendCommand(found->second->name(), selection_);
        return S_OK;
    } catch (...) {
        return E_INVALIDARG;
    }
}

STDMETHODIMP CCompreh::GetCommandString(UINT_PTR offset, UINT kind, UINT*, CHAR* buffer, UINT capacity) {
    try {
        logger().debug(L"Comprehension::GetCommandString");
        const auto found = commandsByOffset_.find(offset);
        if (found == commandsByOffset_.end()) return E_INVALIDARG;
        const std::wstring text = kVerbPrefix + found->second->name();
        if (kind == GCS_VERBW || kind == GCS_HELPTEXTW) {
            if (buffer && capacity > 0) lstrcpynW(reinterpret_cast<wchar_t*>(buffer), text.c_str(), static_cast<int>(capacity));
            return S_OK;
        }
        if (kind == GCS_VERBA || kind == GCS_HELPTEXTA) {
            if (!buffer || capacity == 0) return S_OK;
            // The system code page, cut to the capacity (terminator included), never past it.
            const int needed = WideCharToMultiByte(CP_ACP, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
            std::string narrow(static_cast<std::size_t>(needed > 0 ? needed : 1), '\0');
            WideCharToMultiByte(CP_ACP, 0, text.c_str(), -1, narrow.data(), needed, nullptr, nullptr);
            lstrcpynA(buffer, narrow.c_str(), static_cast<int>(capacity));
            return S_OK;
        }
        return E_INVALIDARG;
    } catch (...) {
        return E_INVALIDARG;
    }
}
