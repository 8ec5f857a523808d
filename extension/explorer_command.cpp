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

// The one item of a selection of exactly one, or none: only its path is asked for.
std::wstring singlePathOf(IShellItemArray* items) {
    DWORD count = 0;
    if (!items || FAILED(items->GetCount(&count)) || count != 1) return L"";
    ComPtr<IShellItem> item;
    wchar_t* path = nullptr;
    if (FAILED(items->GetItemAt(0, &item)) || FAILED(item->GetDisplayName(SIGDN_FILESYSPATH, &path)) || !path)
        return L"";
    const std::unique_ptr<wchar_t, decltype(&CoTaskMemFree)> owned(path, &CoTaskMemFree);
    return path;
}

// The top of the tree: "Quorvane" with the application's commands beneath, or in reduced mode
// "Launch Quorvane".
//
// Windows 11 asks GetState(items, FALSE) on its UI thread and, after E_PENDING,
// GetState(items, TRUE) on a background thread, and everything else on its UI thread. Only the
// background question resolves paths and asks the application; the UI thread's calls answer at
// once from what the root knows (nothing, a fetch on its way, or the tree it brought), never
// waiting for a fetch. Rule: what the root knows is read and written only under lock_, which is
// never held while a path is resolved, the application is asked or a COM reference is released.
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
            const std::wstring path = singlePathOf(items);
            if (path.empty()) return E_INVALIDARG;
            applicationLink().launch(path);
            return S_OK;
        });
    }
    STDMETHODIMP GetFlags(EXPCMDFLAGS* flags) override {
        if (!flags) return E_POINTER;
        *flags = fullMode_ ? ECF_HASSUBCOMMANDS : ECF_DEFAULT;
        return S_OK;
    }
    // The tree the root has (for this selection), or nothing yet: never fetched here.
    STDMETHODIMP EnumSubCommands(IEnumExplorerCommand** out) override {
        if (!out) return E_POINTER;
        *out = nullptr;
        if (!fullMode_) return E_NOTIMPL;
        return guarded([&] {
            Fetched now;
            bool fetching = false;
            {
                CriticalSection::Scoped hold(lock_);
                now = known_.fetched;
                fetching = known_.fetch == Fetch::inProgress;
            }
            if (fetching && !now.tree) logger().debug(L"ExplorerCommand::EnumSubCommands: the tree is still being fetched");
            return enumerate(now.tree, now.iconFolder, topLevelEntries(now.tree), out);
        });
    }

private:
    enum class Fetch { none, inProgress, fetched };
    struct Fetched {
        SharedTree tree;
        std::wstring iconFolder;  // read with the tree, so that the UI thread reads no registry for it
    };
    // The selection is kept as Explorer's array, referenced, not copied: Explorer makes one array
    // for each menu it opens and passes that same array to every call for it, so the pointer
    // says at once (for 1 item as for 20,000) whether a question is about the selection the tree
    // was fetched for. Our reference keeps the array alive, so a new one cannot reuse its
    // address. A new menu on the same items is a new array: its tree is fetched afresh.
    //
    // Explorer hands this array, unmarshalled, to its UI thread and to the background thread
    // that asks with leave to be slow, so the array serves calls from either thread; releasing
    // our reference on either (or on whichever releases the root last) is one more such call.
    struct Known {
        ComPtr<IShellItemArray> items;
        Fetch fetch = Fetch::none;
        Fetched fetched;            // for items: kept while a newer fetch for them runs
        unsigned awaited = 0;       // the fetch whose answer counts; older answers are dropped
    };

    HRESULT queryState(IShellItemArray* items, bool okToBeSlow, EXPCMDSTATE& state) {
        const bool full = fullMenuMode();  // read at each question, as the classic menu does
        fullMode_ = full;
        if (!full) {
            state = singlePathOf(items).empty() ? ECS_HIDDEN : ECS_ENABLED;
            return S_OK;
        }
        // Explorer's UI thread never waits for the application: it asks again on another thread.
        if (!okToBeSlow) {
            remember(items, false);
            return E_PENDING;
        }
        logger().debug(L"ExplorerCommand::GetState");
        const unsigned fetch = remember(items, true);
        applicationLink().runShellNotifier();
        const std::vector<std::wstring> selection = selectionOf(items);
        Fetched result;
        if (!selection.empty()) result.tree = applicationLink().getCommands(selection);
        if (result.tree) result.iconFolder = menuIconFolder();
        state = hasEntries(result.tree) ? ECS_ENABLED : ECS_HIDDEN;
        keep(fetch, std::move(result));
        return S_OK;
    }

    // A different selection forgets what was known of the last one; the same one keeps its tree.
    // With startFetch, gives the number of the fetch that begins now.
    unsigned remember(IShellItemArray* items, bool startFetch) {
        ComPtr<IShellItemArray> incoming(items);
        Fetched forgotten;  // with the array it replaces, released after the lock is left
        CriticalSection::Scoped hold(lock_);
        if (known_.items.Get() != incoming.Get()) {
            known_.items.Swap(incoming);
            known_.fetch = Fetch::none;
            forgotten = std::exchange(known_.fetched, Fetched{});
            ++known_.awaited;
        }
        if (!startFetch) return known_.awaited;
        known_.fetch = Fetch::inProgress;
        return ++known_.awaited;
    }

    void keep(unsigned fetch, Fetched result) {
        Fetched replaced;  // the tree it replaces goes after the lock is left
        CriticalSection::Scoped hold(lock_);
        if (fetch != known_.awaited) return;
        replaced = std::exchange(known_.fetched, std::move(result));
        known_.fetch = Fetch::fetched;
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
    Known known_;  // guarded by lock_
};

}  // namespace

HRESULT createExplorerCommand(const CLSID*, REFIID riid, void** object) noexcept {
    if (!object) return E_POINTER;
    *object = nullptr;
    return guarded([&] { return handOut(new RootCommand(), riid, object); });
}
