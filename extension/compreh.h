#pragma once
// The one COM class of the library: an overlay identifier for the state its class id stands
// for, and the context menu (Initialize, QueryContextMenu, InvokeCommand, GetCommandString).
#include <windows.h>
#include <shlobj.h>

#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "common/handles.h"
#include "extension/module.h"

class Command;
class CommandGroup;
struct CommandTree;

class CCompreh final : public IShellExtInit, public IShellIconOverlayIdentifier, public IContextMenu {
public:
    // classId: the overlay class whose "id" and "icon" the object reads, or none (context menu).
    explicit CCompreh(const CLSID* classId);

    // IUnknown (IShellExtInit is the primary interface)
    STDMETHODIMP QueryInterface(REFIID riid, void** object) override;
    STDMETHODIMP_(ULONG) AddRef() override;
    STDMETHODIMP_(ULONG) Release() override;

    // IShellExtInit
    STDMETHODIMP Initialize(PCIDLIST_ABSOLUTE folder, IDataObject* data, HKEY programId) override;

    // IShellIconOverlayIdentifier
    STDMETHODIMP IsMemberOf(LPCWSTR path, DWORD attributes) override;
    STDMETHODIMP GetOverlayInfo(LPWSTR iconFile, int capacity, int* index, DWORD* flags) override;
    STDMETHODIMP GetPriority(int* priority) override;

    // IContextMenu
    STDMETHODIMP QueryContextMenu(HMENU menu, UINT index, UINT idCmdFirst, UINT idCmdLast, UINT flags) override;
    STDMETHODIMP InvokeCommand(CMINVOKECOMMANDINFO* info) override;
    STDMETHODIMP GetCommandString(UINT_PTR offset, UINT kind, UINT* reserved, CHAR* buffer, UINT capacity) override;

    static std::vector<std::wstring> determinePathsToIgnore();
    static std::vector<std::wstring> determinePathsToNotIgnore();

private:
    ~CCompreh();

    bool isIgnored(const std::wstring& path);

    // Context menu.
    HRESULT initializeSelection(PCIDLIST_ABSOLUTE folder, IDataObject* data);
    static std::wstring getFolderNameForID(PCIDLIST_ABSOLUTE folder);
    HRESULT buildMenu(HMENU menu, UINT index, UINT idCmdFirst, UINT idCmdLast, UINT flags);
    struct MenuBuild;
    bool appendToMenu(MenuBuild& build, HMENU menu, const Command& entry, UINT position, HMENU submenu);
    void appendGroupToMenu(MenuBuild& build, HMENU submenu, const CommandGroup& group);

    ModuleObjectCounted counted_;
    CriticalSection lock_;  // guards the two path lists
    LONG references_ = 0;
    std::uint32_t overlayBit_ = 0;  // this overlay class's bit among those sharing a state answer
    std::wstring stateId_;
    std::wstring overlayIcon_;
    std::vector<std::wstring> selection_;
    std::vector<std::wstring> pathsToIgnore_;
    std::vector<std::wstring> pathsToNotIgnore_;
    std::unordered_map<std::uint64_t, const Command*> commandsByOffset_;
    std::unique_ptr<CommandTree> commandTree_;
};
