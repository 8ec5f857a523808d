#include "extension/explorer_command.h"

#include <shlwapi.h>
#include <shobjidl.h>
#include <wrl/client.h>

#include <atomic>
#include <memory>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "common/handles.h"
#include "extension/class_factory.h"
#include "extension/menu_entries.h"
#include "extension/module.h"
#include "link/command_tree.h"
#include "link/quorvane.h"

using Microsoft::WRL::ComPtr;

namespace {

constexpr wchar_t kRootTitle[] = L"Quorvane";

Logger& logger() { return applicationLink().logger(); }

// Every method reports failure as an HRESULT: nothing may reach Explorer.
template <typename Body>
HRESULT guarded(Body&& body) noexcept {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    } catch (...) {
        return E_UNEXPECTED;
    }
}

// The tree lives as long as any command made from it, whichever object goes first.
using SharedTree = std::shared_ptr<const CommandTree>;

bool hasEntries(const SharedTree& tree) {
    return tree && ((tree->quickCommands && !tree->quickCommands->empty()) || !tree->groups.empty());
}

// The selection Explorer passes: each item's file-system path, whole and in order. Items without
// one (a library, a control-panel item) are left out.
std::vector<std::wstring> selectionOf(IShellItemArray* items) {
    std::vector<std::wstring> paths;
    DWORD count = 0;
    if (!items || FAILED(items->GetCount(&count))) return paths;
    for (DWORD i = 0; i < count; ++i) {
        ComPtr<IShellItem> item;
        wchar_t* path = nullptr;
        if (FAILED(items->GetItemAt(i, &item)) || FAILED(item->GetDisplayName(SIGDN_FILESYSPATH, &path)) || !path)
            continue;
        const std::unique_ptr<wchar_t, decltype(&CoTaskMemFree)> owned(path, &CoTaskMemFree);
        if (*path) paths.emplace_back(path);
    }
    return paths;
}

HRESULT handOutText(const std::wstring& text, LPWSTR* out) {
    if (!out) return E_POINTER;
    return SHStrDupW(text.c_str(), out);
}

HRESULT noText(LPWSTR* out) {
    if (out) *out = nullptr;
    return E_NOTIMPL;
}

bool isRegularFile(const std::wstring& path) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

// The reference and module counts of every object of this file, for each interface it serves.
template <typename... Interfaces>
class CountedObject : public Interfaces... {
public:
    CountedObject(const CountedObject&) = delete;
    CountedObject& operator=(const CountedObject&) = delete;

    STDMETHODIMP_(ULONG) AddRef() override { return static_cast<ULONG>(InterlockedIncrement(&references_)); }
    STDMETHODIMP_(ULONG) Release() override {
        const LONG left = InterlockedDecrement(&references_);
        if (left == 0) delete this;
        return static_cast<ULONG>(left);
    }

protected:
    CountedObject() noexcept { moduleObjectCreated(); }
    virtual ~CountedObject() { moduleObjectDestroyed(); }

private:
    LONG references_ = 0;
};

// What every command shares: the counts and the site.
class CommandObject : public CountedObject<IExplorerCommand, IObjectWithSite> {
public:

    STDMETHODIMP QueryInterface(REFIID riid, void** object) override {
        if (!object) return E_POINTER;
        *object = nullptr;
        if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IExplorerCommand))
            *object = static_cast<IExplorerCommand*>(this);
        else if (IsEqualIID(riid, IID_IObjectWithSite))
            *object = static_cast<IObjectWithSite*>(this);
        else
            return E_NOINTERFACE;
        AddRef();
        return S_OK;
    }

    STDMETHODIMP SetSite(IUnknown* site) override {
        site_ = site;  // keeps the new one, releases the old one
        return S_OK;
    }
    STDMETHODIMP GetSite(REFIID riid, void** object) override {
        if (!object) return E_POINTER;
        *object = nullptr;
        return site_ ? site_->QueryInterface(riid, object) : E_FAIL;
    }

    STDMETHODIMP GetToolTip(IShellItemArray*, LPWSTR* tip) override { return noText(tip); }
    STDMETHODIMP GetCanonicalName(GUID* name) override {
        if (!name) return E_POINTER;
        *name = GUID_NULL;
        return E_NOTIMPL;
    }

private:
    ComPtr<IUnknown> site_;
};

class CommandEnumerator final : public CountedObject<IEnumExplorerCommand> {
public:
    CommandEnumerator(std::vector<ComPtr<IExplorerCommand>> commands, std::size_t next) noexcept
        : commands_(std::move(commands)), next_(next) {}

    STDMETHODIMP QueryInterface(REFIID riid, void** object) override {
        if (!object) return E_POINTER;
        *object = nullptr;
        if (!IsEqualIID(riid, IID_IUnknown) && !IsEqualIID(riid, IID_IEnumExplorerCommand)) return E_NOINTERFACE;
        *object = static_cast<IEnumExplorerCommand*>(this);
        AddRef();
        return S_OK;
    }

    STDMETHODIMP Next(ULONG count, IExplorerCommand** commands, ULONG* fetched) override {
        if (!commands) return E_POINTER;
        if (count > 1 && !fetched) return E_INVALIDARG;  // the caller could not know how many came
        ULONG given = 0;
        for (; given < count && next_ < commands_.size(); ++given, ++next_) commands_[next_].CopyTo(&commands[given]);
        if (fetched) *fetched = given;
        return given == count ? S_OK : S_FALSE;
    }
    STDMETHODIMP Skip(ULONG count) override {
        const std::size_t left = commands_.size() - next_;
        next_ += count < left ? count : left;
        return count <= left ? S_OK : S_FALSE;
    }
    STDMETHODIMP Reset() override {
        next_ = 0;
        return S_OK;
    }
    STDMETHODIMP Clone(IEnumExplorerCommand** copy) override {
        if (!copy) return E_POINTER;
        *copy = nullptr;
        return guarded([&] {
            auto* created = new CommandEnumerator(commands_, next_);
            return handOut(created, IID_IEnumExplorerCommand, reinterpret_cast<void**>(copy));
        });
    }

private:
    std::vector<ComPtr<IExplorerCommand>> commands_;
    std::size_t next_;
};

enum class EntryKind { plain, group, separator };
struct Entry {
    const Command* command;  // null for a separator
    EntryKind kind;
};

HRESULT enumerate(const SharedTree& tree, const std::wstring& iconFolder, const std::vector<Entry>& entries,
                  IEnumExplorerCommand** out);

// A command of the tree, a top-level group with its entries, or a separator among them.
class SubCommand final : public CommandObject {
public:
    // iconFolder: read once for the whole menu, not once for each entry.
    SubCommand(SharedTree tree, std::wstring iconFolder, Entry entry)
        : tree_(std::move(tree)), iconFolder_(std::move(iconFolder)), entry_(entry) {}

    STDMETHODIMP GetTitle(IShellItemArray*, LPWSTR* title) override {
        if (!entry_.command) return noText(title);
        return guarded([&] { return handOutText(menuLabel(*entry_.command), title); });
    }
    // The classic menu's icon file, given only where it exists.
    STDMETHODIMP GetIcon(IShellItemArray*, LPWSTR* icon) override {
        if (!entry_.command) return noText(icon);
        return guarded([&] {
            const std::wstring file = menuIconFile(iconFolder_, *entry_.command);
            return file.empty() || !isRegularFile(file) ? noText(icon) : handOutText(file, icon);
        });
    }
    STDMETHODIMP GetState(IShellItemArray*, BOOL, EXPCMDSTATE* state) override {
        if (!state) return E_POINTER;
        *state = !entry_.command || entry_.command->enabled() ? ECS_ENABLED : ECS_DISABLED;
        return S_OK;
    }
    // Sent as the classic menu's InvokeCommand sends it: the name and the selection.
    STDMETHODIMP Invoke(IShellItemArray* items, IBindCtx*) override {
        if (!entry_.command) return E_NOTIMPL;
        return guarded([&] {
            logger().debug(L"ExplorerCommand::Invoke");
            Quorvane& link = applicationLink();
            const std::vector<std::wstring> selection = selectionOf(items);
            if (selection.empty() || !link.isCommandServerKnown()) return E_INVALIDARG;
            link.sendCommand(entry_.command->name(), selection);
            return S_OK;
        });
    }
    STDMETHODIMP GetFlags(EXPCMDFLAGS* flags) override {
        if (!flags) return E_POINTER;
        *flags = entry_.kind == EntryKind::separator ? ECF_ISSEPARATOR
                 : entry_.kind == EntryKind::group   ? ECF_HASSUBCOMMANDS
                                                     : ECF_DEFAULT;
        return S_OK;
    }
    STDMETHODIMP EnumSubCommands(IEnumExplorerCommand** out) override {
        if (!out) return E_POINTER;
        *out = nullptr;
        if (entry_.kind != EntryKind::group) return E_NOTIMPL;
        return guarded([&] {
            std::vector<Entry> entries;
            for (const Command* child : flattenGroup(static_cast<const CommandGroup&>(*entry_.command)))
                entries.push_back({child, child ? EntryKind::plain : EntryKind::separator});
            return enumerate(tree_, iconFolder_, entries, out);
        });
    }

private:
    SharedTree tree_;
    std::wstring iconFolder_;
    Entry entry_;
};

HRESULT enumerate(const SharedTree& tree, const std::wstring& iconFolder, const std::vector<Entry>& entries,
                  IEnumExplorerCommand** out) {
    std::vector<ComPtr<IExplorerCommand>> commands;
    commands.reserve(entries.size());
    for (const Entry& entry : entries) commands.emplace_back(new SubCommand(tree, iconFolder, entry));
    return handOut(new CommandEnumerator(std::move(commands), 0), IID_IEnumExplorerCommand,
                   reinterpret_cast<void**>(out));
}

// The top of the tree: "Quorvane" with the application's commands beneath, or in reduced mode
// "Launch Quorvane". Explorer asks its state on a background thread and everything else on its
// UI thread, so the selection and the tree it fetched are kept under a lock.
class RootCommand final : public CommandObject {
public:
    RootCommand() : fullMode_(fullMenuMode()) {}

    STDMETHODIMP GetTitle(IShellItemArray*, LPWSTR* title) override {
        return guarded([&] { return handOutText(fullMode_ ? kRootTitle : kLaunchLabel, title); });
    }
    STDMETHODIMP GetIcon(IShellItemArray*, LPWSTR* icon) override { return noText(icon); }
    STDMETHODIMP GetCanonicalName(GUID* name) override {
        if (!name) return E_POINTER;
        *name = kExplorerCommandClassId;
        return S_OK;
    }
    STDMETHODIMP GetState(IShellItemArray* items, BOOL okToBeSlow, EXPCMDSTATE* state) override {
        if (!state) return E_POINTER;
        *state = ECS_HIDDEN;
        return guarded([&] { return queryState(items, okToBeSlow != FALSE, *state); });
    }
    STDMETHODIMP Invoke(IShellItemArray* items, IBindCtx*) override {
        if (fullMode_) return E_NOTIMPL;  // only its sub-commands are chosen
        return guarded([&] {
            const std::vector<std::wstring> selection = selectionOf(items);
            if (selection.size() != 1) return E_INVALIDARG;
            applicationLink().launch(selection.front());
            return S_OK;
        });
    }
    STDMETHODIMP GetFlags(EXPCMDFLAGS* flags) override {
        if (!flags) return E_POINTER;
        *flags = fullMode_ ? ECF_HASSUBCOMMANDS : ECF_DEFAULT;
        return S_OK;
    }
    STDMETHODIMP EnumSubCommands(IEnumExplorerCommand** out) override {
        if (!out) return E_POINTER;
        *out = nullptr;
        if (!fullMode_) return E_NOTIMPL;
        return guarded([&] {
            const SharedTree tree = currentTree();
            return enumerate(tree, menuIconFolder(), topLevelEntries(tree), out);
        });
    }

private:
    struct Snapshot {
        std::vector<std::wstring> selection;
        SharedTree tree;
        bool fetched = false;
        unsigned generation = 0;
    };

    HRESULT queryState(IShellItemArray* items, bool okToBeSlow, EXPCMDSTATE& state) {
        const bool full = fullMenuMode();  // read at each question, as the classic menu does
        fullMode_ = full;
        std::vector<std::wstring> selection = selectionOf(items);
        if (!full) {
            state = selection.size() == 1 ? ECS_ENABLED : ECS_HIDDEN;
            return S_OK;
        }
        const unsigned generation = remember(selection);
        // Explorer's UI thread never waits for the application: it asks again on another thread.
        if (!okToBeSlow) return E_PENDING;
        logger().debug(L"ExplorerCommand::GetState");
        applicationLink().runShellNotifier();
        const SharedTree tree = fetch(selection, generation);
        state = hasEntries(tree) ? ECS_ENABLED : ECS_HIDDEN;
        return S_OK;
    }

    // A new selection forgets the tree of the last one.
    unsigned remember(std::vector<std::wstring> selection) {
        CriticalSection::Scoped hold(lock_);
        shared_.selection = std::move(selection);
        shared_.tree.reset();
        shared_.fetched = false;
        return ++shared_.generation;
    }

    // Fetched without the lock held; kept only while no newer selection replaced this one.
    SharedTree fetch(const std::vector<std::wstring>& selection, unsigned generation) {
        SharedTree tree;
        if (!selection.empty()) tree = applicationLink().getCommands(selection);
        CriticalSection::Scoped hold(lock_);
        if (shared_.generation == generation) {
            shared_.tree = tree;
            shared_.fetched = true;
        }
        return tree;
    }

    // The tree of the last selection, fetched now when no state question fetched it.
    SharedTree currentTree() {
        Snapshot now;
        {
            CriticalSection::Scoped hold(lock_);
            now = shared_;
        }
        return now.fetched ? now.tree : fetch(now.selection, now.generation);
    }

    // The quick commands as plain commands (a group among them without its entries, as in the
    // classic menu), then each top-level group with its entries.
    static std::vector<Entry> topLevelEntries(const SharedTree& tree) {
        std::vector<Entry> entries;
        if (!tree) return entries;
        if (tree->quickCommands)
            for (const std::unique_ptr<Command>& command : *tree->quickCommands)
                entries.push_back({command.get(), EntryKind::plain});
        for (const std::unique_ptr<CommandGroup>& group : tree->groups) entries.push_back({group.get(), EntryKind::group});
        return entries;
    }

    std::atomic<bool> fullMode_;
    CriticalSection lock_;
    Snapshot shared_;  // guarded by lock_
};

}  // namespace

HRESULT createExplorerCommand(const CLSID*, REFIID riid, void** object) noexcept {
    if (!object) return E_POINTER;
    *object = nullptr;
    return guarded([&] { return handOut(new RootCommand(), riid, object); });
}
