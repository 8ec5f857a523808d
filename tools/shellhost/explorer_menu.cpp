#include "tools/shellhost/explorer_menu.h"

#include <windows.h>
#include <shlobj.h>
#include <shobjidl.h>
#include <wrl/client.h>

#include <memory>

#include "tools/shellhost/registration.h"

using Microsoft::WRL::ComPtr;

namespace {

struct IdListFree {
    void operator()(ITEMIDLIST* list) const noexcept { CoTaskMemFree(list); }
};
using IdList = std::unique_ptr<ITEMIDLIST, IdListFree>;

// The selection as Explorer hands it to an Explorer command: an array of shell items.
HRESULT selectionArray(const std::vector<std::wstring>& paths, IShellItemArray** items) {
    std::vector<IdList> owned;
    std::vector<PCIDLIST_ABSOLUTE> lists;
    for (const std::wstring& path : paths) {
        PIDLIST_ABSOLUTE list = nullptr;
        const HRESULT hr = SHParseDisplayName(path.c_str(), nullptr, &list, 0, nullptr);
        if (FAILED(hr)) return hr;
        owned.emplace_back(list);
        lists.push_back(list);
    }
    return SHCreateShellItemArrayFromIDLists(static_cast<UINT>(lists.size()), lists.data(), items);
}

std::wstring resultText(HRESULT hr) {
    switch (hr) {
        case S_OK: return L"S_OK";
        case E_PENDING: return L"E_PENDING";
        case E_NOTIMPL: return L"E_NOTIMPL";
        case E_INVALIDARG: return L"E_INVALIDARG";
        default: break;
    }
    wchar_t text[16];
    swprintf(text, 16, L"0x%08lX", static_cast<unsigned long>(hr));
    return text;
}

std::wstring stateText(EXPCMDSTATE state) {
    if (state & ECS_HIDDEN) return L"hidden";
    return state & ECS_DISABLED ? L"disabled" : L"enabled";
}

// A text the command allocates (title or icon), taken over; empty when it gave none.
std::wstring textOf(IExplorerCommand* command, IShellItemArray* items,
                    HRESULT (STDMETHODCALLTYPE IExplorerCommand::*get)(IShellItemArray*, LPWSTR*)) {
    wchar_t* text = nullptr;
    const HRESULT hr = (command->*get)(items, &text);
    std::wstring taken = SUCCEEDED(hr) && text ? text : L"";
    CoTaskMemFree(text);
    return taken;
}

class Walk {
public:
    Walk(IShellItemArray* items, std::wstring invoke, std::wostream& out)
        : items_(items), invoke_(std::move(invoke)), out_(out) {}

    // One command and, unless it is hidden, what lies beneath it.
    void show(IExplorerCommand* command, int depth, const std::wstring& parentPath) {
        const std::wstring indent(static_cast<std::size_t>(depth) * 2, L' ');
        EXPCMDFLAGS flags = ECF_DEFAULT;
        command->GetFlags(&flags);
        if (flags & ECF_ISSEPARATOR) {
            out_ << indent << L"----\n";
            return;
        }
        const std::wstring title = textOf(command, items_, &IExplorerCommand::GetTitle);
        const std::wstring path = parentPath.empty() ? title : parentPath + L"/" + title;
        const std::wstring icon = textOf(command, items_, &IExplorerCommand::GetIcon);
        const EXPCMDSTATE state = askState(command, depth == 0);
        const bool opens = flags & ECF_HASSUBCOMMANDS;
        out_ << indent << (opens ? L"> " : L"") << title << L"  [" << stateText(state) << L"]"
             << (icon.empty() ? L"" : L"  [icon " + icon + L"]") << L"\n";
        if (state & ECS_HIDDEN) return;
        if (path == invoke_) {
            found_ = true;
            out_ << L"Invoke " << path << L": " << resultText(command->Invoke(items_, nullptr)) << L"\n";
        }
        if (opens) showChildren(command, depth + 1, path);
    }

    bool found() const { return found_; }

private:
    // As Explorer asks: first on its UI thread, where the command may answer E_PENDING, then
    // again with leave to be slow (Explorer does that on a thread of its own).
    EXPCMDSTATE askState(IExplorerCommand* command, bool print) {
        EXPCMDSTATE state = ECS_HIDDEN;
        HRESULT hr = command->GetState(items_, FALSE, &state);
        if (print) out_ << L"GetState(fOkToBeSlow=FALSE): " << resultText(hr) << L"\n";
        if (hr == E_PENDING) {
            hr = command->GetState(items_, TRUE, &state);
            if (print) out_ << L"GetState(fOkToBeSlow=TRUE): " << resultText(hr) << L"\n";
        }
        return FAILED(hr) ? EXPCMDSTATE{ECS_HIDDEN} : state;
    }

    void showChildren(IExplorerCommand* command, int depth, const std::wstring& path) {
        ComPtr<IEnumExplorerCommand> children;
        if (FAILED(command->EnumSubCommands(&children)) || !children) {
            out_ << std::wstring(static_cast<std::size_t>(depth) * 2, L' ') << L"(no sub-commands)\n";
            return;
        }
        for (ComPtr<IExplorerCommand> child; children->Next(1, child.ReleaseAndGetAddressOf(), nullptr) == S_OK;)
            show(child.Get(), depth, path);
    }

    IShellItemArray* items_;
    std::wstring invoke_;
    std::wostream& out_;
    bool found_ = false;
};

}  // namespace

bool showExplorerCommands(const CommandsRequest& request, std::wostream& out) {
    CLSID classId;
    CLSIDFromString(explorerCommandClassId().c_str(), &classId);
    ComPtr<IExplorerCommand> root;
    if (FAILED(CoCreateInstance(classId, nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(&root)))) {
        out << L"cannot create the Explorer-command object\n";
        return false;
    }
    ComPtr<IShellItemArray> items;
    if (FAILED(selectionArray(request.paths, &items))) {
        out << L"cannot make a shell item array of the selection\n";
        return false;
    }
    Walk walk(items.Get(), request.invoke, out);
    walk.show(root.Get(), 0, L"");
    if (!request.invoke.empty() && !walk.found()) {
        out << L"no command at " << request.invoke << L"\n";
        return false;
    }
    return true;
}
