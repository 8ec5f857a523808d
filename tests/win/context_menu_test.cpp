// The context menu of compreh.dll, loaded in-process as Explorer loads it, with the command
// tree served by the stand-in application.
#include <gtest/gtest.h>

#include <shlobj.h>
#include <shellapi.h>
#include <shlwapi.h>
#include <wrl/client.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>

#include "common/handles.h"
#include "tests/win/appstub_process.h"
#include "tests/win/test_support.h"
#include "tools/shellhost/registration.h"

using namespace testing_support;
using namespace std::chrono_literals;
using Microsoft::WRL::ComPtr;

namespace {

using GetClassObject = HRESULT(STDAPICALLTYPE*)(REFCLSID, REFIID, void**);

const std::wstring kRoot = L"C:\\menu-test";
const std::wstring kInstall = kRoot + L"\\inst";
const std::wstring kVersion = L"9.9.9-test";
constexpr UINT kFirst = 100;

// A minimal data object that hands out CF_HDROP for the given names, as the shell's does.
class DropData final : public IDataObject {
public:
    explicit DropData(const std::vector<std::wstring>& names) {
        std::wstring list;
        for (const std::wstring& name : names) list += name + L'\0';
        list += L'\0';
        bytes_.resize(sizeof(DROPFILES) + list.size() * sizeof(wchar_t));
        auto* header = reinterpret_cast<DROPFILES*>(bytes_.data());
        header->pFiles = sizeof(DROPFILES);
        header->fWide = TRUE;
        memcpy(bytes_.data() + sizeof(DROPFILES), list.data(), list.size() * sizeof(wchar_t));
    }
    STDMETHODIMP QueryInterface(REFIID riid, void** object) override {
        *object = IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IDataObject) ? this : nullptr;
        return *object ? S_OK : E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return 2; }
    STDMETHODIMP_(ULONG) Release() override { return 1; }
    STDMETHODIMP GetData(FORMATETC* format, STGMEDIUM* medium) override {
        if (format->cfFormat != CF_HDROP || !(format->tymed & TYMED_HGLOBAL)) return DV_E_FORMATETC;
        HGLOBAL memory = GlobalAlloc(GMEM_MOVEABLE, bytes_.size());
        memcpy(GlobalLock(memory), bytes_.data(), bytes_.size());
        GlobalUnlock(memory);
        medium->tymed = TYMED_HGLOBAL;
        medium->hGlobal = memory;
        medium->pUnkForRelease = nullptr;
        return S_OK;
    }
    STDMETHODIMP GetDataHere(FORMATETC*, STGMEDIUM*) override { return E_NOTIMPL; }
    STDMETHODIMP QueryGetData(FORMATETC*) override { return E_NOTIMPL; }
    STDMETHODIMP GetCanonicalFormatEtc(FORMATETC*, FORMATETC*) override { return E_NOTIMPL; }
    STDMETHODIMP SetData(FORMATETC*, STGMEDIUM*, BOOL) override { return E_NOTIMPL; }
    STDMETHODIMP EnumFormatEtc(DWORD, IEnumFORMATETC**) override { return E_NOTIMPL; }
    STDMETHODIMP DAdvise(FORMATETC*, DWORD, IAdviseSink*, DWORD*) override { return E_NOTIMPL; }
    STDMETHODIMP DUnadvise(DWORD) override { return E_NOTIMPL; }
    STDMETHODIMP EnumDAdvise(IEnumSTATDATA**) override { return E_NOTIMPL; }

private:
    std::vector<char> bytes_;
};

struct MenuEntry {
    std::wstring label;
    UINT id = 0;
    bool greyed = false, separator = false;
    SIZE bitmap = {0, 0};
    std::vector<MenuEntry> children;
};

std::vector<MenuEntry> readMenu(HMENU menu) {
    std::vector<MenuEntry> entries;
    for (int i = 0, n = GetMenuItemCount(menu); i < n; ++i) {
        wchar_t label[256] = {};
        MENUITEMINFOW item = {};
        item.cbSize = sizeof item;
        item.fMask = MIIM_FTYPE | MIIM_STATE | MIIM_ID | MIIM_STRING | MIIM_BITMAP | MIIM_SUBMENU;
        item.dwTypeData = label;
        item.cch = 256;
        GetMenuItemInfoW(menu, static_cast<UINT>(i), TRUE, &item);
        MenuEntry entry;
        entry.separator = item.fType & MFT_SEPARATOR;
        entry.label = label;
        entry.id = item.wID;
        entry.greyed = item.fState & MFS_GRAYED;
        BITMAP info = {};
        if (item.hbmpItem && GetObjectW(item.hbmpItem, sizeof info, &info) && info.bmBitsPixel == 32)
            entry.bitmap = {info.bmWidth, info.bmHeight};
        if (item.hSubMenu) entry.children = readMenu(item.hSubMenu);
        entries.push_back(entry);
    }
    return entries;
}

// One DLL, one stand-in application and one configuration for the whole suite: the library's
// link keeps the servers it found, as it does in Explorer.
class ContextMenu : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        removeTree(kRoot);
        ensureFolder(kInstall + L"\\lib\\icons");
        config_ = new ScopedConfig(kVersion, kInstall);
        config_->set(L"shell-integration-full", L"true");
        registerExtension({moduleFolder() + L"\\compreh.dll"}, kRoot);
        runCaptured(L"shellhost.exe", L"sample-icons " + kInstall + L"\\lib\\icons c1 c2-g g1 c3 c5 c6");
        stub_ = new RunningStub(kRoot, L"--commands " + kRoot + L"\\commands.txt --command-folder " + settingsFolder() +
                                           L"\\" + kVersion + L" --no-state-server");
        ASSERT_TRUE(stub_->waitUntilReady());
        library_ = LoadLibraryW((moduleFolder() + L"\\compreh.dll").c_str());
        getClassObject_ = reinterpret_cast<GetClassObject>(
            reinterpret_cast<void*>(GetProcAddress(library_, "DllGetClassObject")));
    }
    static void TearDownTestSuite() {
        delete stub_;
        FreeLibrary(library_);
        unregisterExtension();
        delete config_;
        removeTree(kRoot);
        removeTree(settingsFolder() + L"\\" + kVersion);
    }
    void SetUp() override {
        writeBytes(kRoot + L"\\commands.txt",
                   "quick-commands\t2\nc1\tFirst\ttrue\nc2\tSecond\tfalse\n"
                   "group\t3\tg1\tGroup one\nc3\tThird\ttrue\ngroup\t2\tg2\tNested\nc5\tFifth\ttrue\nc6\tSixth\ttrue\n"
                   "c4\tFourth\ttrue\n");
        IClassFactory* factory = nullptr;
        CLSID id;
        CLSIDFromString(contextMenuClassId().c_str(), &id);
        ASSERT_EQ(getClassObject_(id, IID_IClassFactory, reinterpret_cast<void**>(&factory)), S_OK);
        ASSERT_EQ(factory->CreateInstance(nullptr, IID_IContextMenu, reinterpret_cast<void**>(&menu_)), S_OK);
        factory->Release();
        menu_->QueryInterface(IID_IShellExtInit, reinterpret_cast<void**>(&init_));
        popup_.reset(CreatePopupMenu());
        journalMark_ = readLines(kRoot + L"\\journal.txt").size();
    }
    void TearDown() override {
        if (init_) init_->Release();
        if (menu_) menu_->Release();
        config_->set(L"shell-integration-full", L"true");
    }
    HRESULT select(const std::vector<std::wstring>& paths) {
        DropData data(paths);
        return init_->Initialize(nullptr, &data, nullptr);
    }
    UINT build(UINT flags = CMF_EXPLORE, UINT last = 0x7FFF) {
        return HRESULT_CODE(menu_->QueryContextMenu(popup_.get(), 0, kFirst, last, flags));
    }
    // Whether the application journaled the line since the test began. Requests on different
    // connections (the notifier hand-over opens its own) land in either order, so the line is
    // looked for, not expected last.
    bool journaled(const std::string& line) const {
        return appearsInFile(kRoot + L"\\journal.txt", line, journalMark_);
    }
    std::size_t journalMark_ = 0;
    std::wstring verb(UINT offset, UINT kind = GCS_VERBW, UINT capacity = 64) {
        wchar_t text[64] = L"untouched";
        const HRESULT hr = menu_->GetCommandString(offset, kind, nullptr, reinterpret_cast<char*>(text), capacity);
        return hr == S_OK ? text : L"E_INVALIDARG";
    }

    static ScopedConfig* config_;
    static RunningStub* stub_;
    static HMODULE library_;
    static GetClassObject getClassObject_;
    IContextMenu* menu_ = nullptr;
    IShellExtInit* init_ = nullptr;
    MenuHandle popup_;
};
ScopedConfig* ContextMenu::config_ = nullptr;
RunningStub* ContextMenu::stub_ = nullptr;
HMODULE ContextMenu::library_ = nullptr;
GetClassObject ContextMenu::getClassObject_ = nullptr;

TEST_F(ContextMenu, TheFullMenuFollowsTheCommandTree) {
    ASSERT_EQ(select({L"C:\\a.txt", L"C:\\b c.txt"}), S_OK);
    EXPECT_EQ(build(), 7u);
    const std::vector<MenuEntry> menu = readMenu(popup_.get());
    ASSERT_EQ(menu.size(), 5u);
    EXPECT_TRUE(menu[0].separator);
    EXPECT_EQ(menu[1].label, L"First");
    EXPECT_EQ(menu[1].id, kFirst + 0);
    EXPECT_FALSE(menu[1].greyed);
    EXPECT_EQ(menu[1].bitmap.cx, GetSystemMetrics(SM_CXSMICON));
    EXPECT_EQ(menu[1].bitmap.cy, GetSystemMetrics(SM_CYSMICON));
    EXPECT_EQ(menu[2].label, L"Second");
    EXPECT_TRUE(menu[2].greyed);
    EXPECT_NE(menu[2].bitmap.cx, 0);  // the grey picture c2-g.ico
    EXPECT_EQ(menu[3].label, L"Group one");
    EXPECT_EQ(menu[3].id, kFirst + 6);  // after its entries
    EXPECT_TRUE(menu[4].separator);
    const std::vector<MenuEntry>& group = menu[3].children;
    ASSERT_EQ(group.size(), 5u);
    const std::pair<const wchar_t*, UINT> expected[] = {
        {L"Third", 2}, {L"", 0}, {L"Fifth", 3}, {L"Sixth", 4}, {L"Fourth", 5}};
    for (std::size_t i = 0; i < group.size(); ++i) {
        EXPECT_EQ(group[i].separator, expected[i].second == 0) << i;
        if (!group[i].separator) {
            EXPECT_EQ(group[i].label, expected[i].first);
            EXPECT_EQ(group[i].id, kFirst + expected[i].second);
        }
    }
    EXPECT_EQ(group[4].bitmap.cx, 0);  // no c4.ico: the entry shows no picture
    EXPECT_TRUE(journaled("get-commands\tC:\\a.txt\tC:\\b c.txt"));
}

TEST_F(ContextMenu, InvokingAnEntrySendsItsNameAndTheSelection) {
    select({L"C:\\x\\one.txt", L"C:\\x\\two.txt"});
    build();
    CMINVOKECOMMANDINFO info = {};
    info.cbSize = sizeof info;
    info.lpVerb = MAKEINTRESOURCEA(4);
    EXPECT_EQ(menu_->InvokeCommand(&info), S_OK);
    EXPECT_TRUE(journaled("c6\tC:\\x\\one.txt\tC:\\x\\two.txt"));
    info.lpVerb = "quorvane-c6";  // verbs as text are not taken
    EXPECT_EQ(menu_->InvokeCommand(&info), E_INVALIDARG);
    info.lpVerb = MAKEINTRESOURCEA(40);
    EXPECT_EQ(menu_->InvokeCommand(&info), E_INVALIDARG);
}

// A verb given as text is refused in both modes, also where its address has nothing in bits 16
// to 31 (above 4 GiB), and in the wide field of the extended form.
TEST_F(ContextMenu, TextVerbsAreRefusedWhereverTheyLie) {
    char* high = nullptr;
#ifdef _WIN64
    for (ULONG_PTR base = 0x100000000; !high && base <= 0x800000000; base += 0x100000000)
        high = static_cast<char*>(
            VirtualAlloc(reinterpret_cast<void*>(base), 4096, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
    ASSERT_NE(high, nullptr);
    strcpy(high + 4, "properties");  // read as offset 4 by the low 32 bits
#endif
    CMINVOKECOMMANDINFOEX info = {};
    info.cbSize = sizeof info;
    for (const wchar_t* full : {L"true", L"false"}) {
        config_->set(L"shell-integration-full", full);
        select({L"C:\\x\\one.txt"});
        build();
        info.fMask = 0;
        if (high) {
            info.lpVerb = high + 4;
            EXPECT_EQ(menu_->InvokeCommand(reinterpret_cast<CMINVOKECOMMANDINFO*>(&info)), E_INVALIDARG) << full;
        }
        info.fMask = CMIC_MASK_UNICODE;
        info.lpVerb = MAKEINTRESOURCEA(4);
        info.lpVerbW = L"properties";
        EXPECT_EQ(menu_->InvokeCommand(reinterpret_cast<CMINVOKECOMMANDINFO*>(&info)), E_INVALIDARG) << full;
    }
    if (high) VirtualFree(high, 0, MEM_RELEASE);
}

TEST_F(ContextMenu, VerbAndHelpTextsAreCutAtTheCapacity) {
    select({L"C:\\a.txt"});
    build();
    EXPECT_EQ(verb(1), L"quorvane-c2");
    EXPECT_EQ(verb(1, GCS_HELPTEXTW), L"quorvane-c2");
    EXPECT_EQ(verb(1, GCS_VALIDATEW), L"E_INVALIDARG");
    EXPECT_EQ(verb(9), L"E_INVALIDARG");
    EXPECT_EQ(verb(1, GCS_VERBW, 5), L"quor");
    EXPECT_EQ(verb(1, GCS_VERBW, 0), L"untouched");
    char narrow[16];
    memset(narrow, 'x', sizeof narrow);
    EXPECT_EQ(menu_->GetCommandString(6, GCS_VERBA, nullptr, narrow, 4), S_OK);
    EXPECT_STREQ(narrow, "quo");
    EXPECT_EQ(narrow[4], 'x');  // nothing beyond the capacity
    EXPECT_EQ(menu_->GetCommandString(6, GCS_HELPTEXTA, nullptr, narrow, 16), S_OK);
    EXPECT_STREQ(narrow, "quorvane-g1");
}

TEST_F(ContextMenu, IdentifiersNeverGoBeyondTheLastOne) {
    select({L"C:\\a.txt"});
    EXPECT_EQ(build(CMF_EXPLORE, kFirst + 2), 3u);
    const std::vector<MenuEntry> menu = readMenu(popup_.get());
    for (const MenuEntry& entry : menu)
        for (const MenuEntry& child : entry.children) EXPECT_LE(child.id, kFirst + 2);
    EXPECT_EQ(verb(3), L"E_INVALIDARG");
}

TEST_F(ContextMenu, LongLabelsAndLongPathsSurvive) {
    const std::string longLabel(200, 'L');
    writeBytes(kRoot + L"\\commands.txt", "quick-commands\t1\nc1\t" + longLabel + "\ttrue\n");
    const std::wstring longPath = L"C:\\" + std::wstring(300, L'p') + L"\\file.txt";
    ASSERT_EQ(select({longPath}), S_OK);
    EXPECT_EQ(build(), 1u);
    EXPECT_EQ(readMenu(popup_.get())[1].label, std::wstring(127, L'L'));
    EXPECT_TRUE(journaled("get-commands\t" + narrow(longPath)));
}

// A command name becomes part of an icon file's path: one that would leave the icons folder
// gets no icon, even where a file waits for it.
TEST_F(ContextMenu, ACommandNameThatWouldLeaveTheIconsFolderGetsNoIcon) {
    runCaptured(L"shellhost.exe", L"sample-icons " + kInstall + L"\\lib outside");
    writeBytes(kRoot + L"\\commands.txt", "quick-commands\t2\n..\\\\outside\tOut\ttrue\nc1\tFirst\ttrue\n");
    ASSERT_EQ(select({L"C:\\a.txt"}), S_OK);
    EXPECT_EQ(build(), 2u);
    const std::vector<MenuEntry> menu = readMenu(popup_.get());
    ASSERT_EQ(menu[1].label, L"Out");
    EXPECT_EQ(menu[1].bitmap.cx, 0);
    EXPECT_NE(menu[2].bitmap.cx, 0);
}

TEST_F(ContextMenu, FlagsThatAskForNoVerbsAddNothing) {
    select({L"C:\\a.txt"});
    EXPECT_EQ(build(CMF_DEFAULTONLY), 0u);
    EXPECT_EQ(build(CMF_NOVERBS), 0u);
    EXPECT_EQ(GetMenuItemCount(popup_.get()), 0);
    EXPECT_EQ(build(CMF_VERBSONLY | CMF_NOVERBS), 7u);
}

TEST_F(ContextMenu, TheReducedMenuLaunchesTheApplicationForOneItem) {
    config_->set(L"shell-integration-full", L"false");
    config_->set(L"executable", moduleFolder() + L"\\recorder.exe");
    const std::wstring record = kRoot + L"\\launched.txt";
    SetEnvironmentVariableW(L"QV_RECORDER_OUTPUT", record.c_str());
    select({L"C:\\one.txt", L"C:\\two.txt"});
    EXPECT_EQ(build(), 0u);
    EXPECT_EQ(GetMenuItemCount(popup_.get()), 0);

    select({L"C:\\"});
    EXPECT_EQ(build(CMF_NORMAL), 1u);
    const std::vector<MenuEntry> menu = readMenu(popup_.get());
    ASSERT_EQ(menu.size(), 3u);
    EXPECT_EQ(menu[1].label, L"Launch Quorvane");
    EXPECT_EQ(menu[1].id, kFirst);
    CMINVOKECOMMANDINFO info = {};
    info.cbSize = sizeof info;
    info.lpVerb = MAKEINTRESOURCEA(5);  // the offset is not looked at
    EXPECT_EQ(menu_->InvokeCommand(&info), S_OK);
    for (int i = 0; i < 250 && !isPresent(record); ++i) std::this_thread::sleep_for(20ms);
    EXPECT_TRUE(isPresent(record));
    config_->remove(L"executable");
    SetEnvironmentVariableW(L"QV_RECORDER_OUTPUT", nullptr);
}

TEST_F(ContextMenu, ABackgroundClickSelectsTheFolder) {
    PIDLIST_ABSOLUTE folder = nullptr;
    ASSERT_EQ(SHParseDisplayName(kRoot.c_str(), nullptr, &folder, 0, nullptr), S_OK);
    EXPECT_EQ(init_->Initialize(folder, nullptr, nullptr), S_OK);
    CoTaskMemFree(folder);
    build();
    EXPECT_TRUE(journaled("get-commands\t" + narrow(kRoot)));
    EXPECT_EQ(init_->Initialize(nullptr, nullptr, nullptr), E_INVALIDARG);
}

TEST_F(ContextMenu, RepeatedMenusReuseTheirBitmaps) {
    select({L"C:\\a.txt"});
    build();
    clearLog();
    const DWORD before = GetGuiResources(GetCurrentProcess(), GR_GDIOBJECTS);
    for (int i = 0; i < 20; ++i) {
        MenuHandle again(CreatePopupMenu());
        menu_->QueryContextMenu(again.get(), 0, kFirst, 0x7FFF, CMF_EXPLORE);
    }
    EXPECT_EQ(GetGuiResources(GetCurrentProcess(), GR_GDIOBJECTS), before);
    const std::vector<std::string> log = logMessages();
    EXPECT_EQ(std::count_if(log.begin(), log.end(), [](const std::string& m) { return m.rfind("Loading icon: ", 0) == 0; }),
              0);  // every icon was converted by an earlier menu already
}

TEST_F(ContextMenu, WithoutTheApplicationTheFullMenuAddsNothing) {
    stub_->kill();
    select({L"C:\\a.txt"});
    EXPECT_EQ(build(), 1u);
    EXPECT_EQ(GetMenuItemCount(popup_.get()), 0);
}

}  // namespace

// The ninth class, as Windows 11's first context menu drives it.
namespace {

// A shell item with a file-system path, or without one (an empty path), as a library item is.
// It counts the paths asked of it.
class PathItem final : public IShellItem {
public:
    PathItem(std::wstring path, std::atomic<long>& asked) : path_(std::move(path)), asked_(asked) {}
    STDMETHODIMP QueryInterface(REFIID riid, void** object) override {
        *object = IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IShellItem) ? this : nullptr;
        return *object ? S_OK : E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return 2; }
    STDMETHODIMP_(ULONG) Release() override { return 1; }
    STDMETHODIMP BindToHandler(IBindCtx*, REFGUID, REFIID, void**) override { return E_NOTIMPL; }
    STDMETHODIMP GetParent(IShellItem**) override { return E_NOTIMPL; }
    STDMETHODIMP GetDisplayName(SIGDN kind, LPWSTR* name) override {
        *name = nullptr;
        ++asked_;
        if (kind != SIGDN_FILESYSPATH || path_.empty()) return E_INVALIDARG;
        return SHStrDupW(path_.c_str(), name);
    }
    STDMETHODIMP GetAttributes(SFGAOF, SFGAOF*) override { return E_NOTIMPL; }
    STDMETHODIMP Compare(IShellItem*, SICHINTF, int*) override { return E_NOTIMPL; }

private:
    std::wstring path_;
    std::atomic<long>& asked_;
};

// The selection as Explorer hands it to an Explorer command: reference counted, since the
// command may keep it.
class PathItems final : public IShellItemArray {
public:
    explicit PathItems(const std::vector<std::wstring>& paths) {
        for (const std::wstring& path : paths) items_.push_back(std::make_unique<PathItem>(path, pathsAsked));
    }
    STDMETHODIMP QueryInterface(REFIID riid, void** object) override {
        *object = IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IShellItemArray) ? this : nullptr;
        if (!*object) return E_NOINTERFACE;
        AddRef();
        return S_OK;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return static_cast<ULONG>(++references); }
    STDMETHODIMP_(ULONG) Release() override {
        const long left = --references;
        if (left == 0) delete this;
        return static_cast<ULONG>(left);
    }
    STDMETHODIMP BindToHandler(IBindCtx*, REFGUID, REFIID, void**) override { return E_NOTIMPL; }
    STDMETHODIMP GetPropertyStore(GETPROPERTYSTOREFLAGS, REFIID, void**) override { return E_NOTIMPL; }
    STDMETHODIMP GetPropertyDescriptionList(REFPROPERTYKEY, REFIID, void**) override { return E_NOTIMPL; }
    STDMETHODIMP GetAttributes(SIATTRIBFLAGS, SFGAOF, SFGAOF*) override { return E_NOTIMPL; }
    STDMETHODIMP GetCount(DWORD* count) override {
        *count = static_cast<DWORD>(items_.size());
        return S_OK;
    }
    STDMETHODIMP GetItemAt(DWORD index, IShellItem** item) override {
        *item = index < items_.size() ? items_[index].get() : nullptr;
        return *item ? S_OK : E_INVALIDARG;
    }
    STDMETHODIMP EnumItems(IEnumShellItems**) override { return E_NOTIMPL; }

    std::atomic<long> references{0};  // the first ComPtr adds the first
    std::atomic<long> pathsAsked{0};

private:
    std::vector<std::unique_ptr<PathItem>> items_;
};

ComPtr<PathItems> shellItems(const std::vector<std::wstring>& paths) { return ComPtr<PathItems>(new PathItems(paths)); }

// A site that counts its references, so that a test sees it kept and released.
class CountedSite final : public IUnknown {
public:
    STDMETHODIMP QueryInterface(REFIID riid, void** object) override {
        *object = IsEqualIID(riid, IID_IUnknown) ? this : nullptr;
        if (!*object) return E_NOINTERFACE;
        AddRef();
        return S_OK;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return static_cast<ULONG>(++references); }
    STDMETHODIMP_(ULONG) Release() override { return static_cast<ULONG>(--references); }
    LONG references = 1;
};

struct TreeEntry {
    std::wstring title, icon;
    bool separator = false, disabled = false, opens = false;
    std::vector<TreeEntry> children;
};

std::wstring takeText(HRESULT hr, wchar_t* text) {
    std::wstring taken = SUCCEEDED(hr) && text ? text : L"";
    CoTaskMemFree(text);
    return taken;
}

std::vector<ComPtr<IExplorerCommand>> commandsOf(IEnumExplorerCommand* commands) {
    std::vector<ComPtr<IExplorerCommand>> all;
    for (ComPtr<IExplorerCommand> next; commands && commands->Next(1, &next, nullptr) == S_OK; next.Reset())
        all.push_back(next);
    return all;
}

std::vector<TreeEntry> readTree(IExplorerCommand* parent, IShellItemArray* items) {
    ComPtr<IEnumExplorerCommand> children;
    parent->EnumSubCommands(&children);
    std::vector<TreeEntry> tree;
    for (const ComPtr<IExplorerCommand>& command : commandsOf(children.Get())) {
        TreeEntry entry;
        EXPCMDFLAGS flags = 0;
        EXPCMDSTATE state = 0;
        command->GetFlags(&flags);
        command->GetState(items, FALSE, &state);
        wchar_t* text = nullptr;
        HRESULT hr = command->GetTitle(items, &text);
        entry.title = takeText(hr, text);
        text = nullptr;
        hr = command->GetIcon(items, &text);
        entry.icon = takeText(hr, text);
        entry.separator = flags & ECF_ISSEPARATOR;
        entry.opens = flags & ECF_HASSUBCOMMANDS;
        entry.disabled = state == ECS_DISABLED;
        if (entry.opens) entry.children = readTree(command.Get(), items);
        tree.push_back(entry);
    }
    return tree;
}

// Titles, order, nesting, separators, states and icons as the classic menu shows them.
void expectSameEntries(const std::vector<MenuEntry>& classic, const std::vector<TreeEntry>& tree) {
    ASSERT_EQ(classic.size(), tree.size());
    for (std::size_t i = 0; i < tree.size(); ++i) {
        EXPECT_EQ(classic[i].separator, tree[i].separator) << i;
        if (tree[i].separator) continue;
        EXPECT_EQ(classic[i].label, tree[i].title);
        EXPECT_EQ(classic[i].greyed, tree[i].disabled) << narrow(tree[i].title);
        EXPECT_EQ(classic[i].bitmap.cx != 0, !tree[i].icon.empty()) << narrow(tree[i].title);
        EXPECT_EQ(!classic[i].children.empty(), tree[i].opens) << narrow(tree[i].title);
        expectSameEntries(classic[i].children, tree[i].children);
    }
}

std::string utf8(const std::wstring& text) {
    const int bytes = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
    std::string converted(static_cast<std::size_t>(bytes), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, converted.data(), bytes, nullptr, nullptr);
    converted.pop_back();
    return converted;
}

using CanUnloadNow = HRESULT(STDAPICALLTYPE*)();

class ExplorerCommands : public ContextMenu {
protected:
    void TearDown() override {
        if (faultsRun_) runStub(L"");
        ContextMenu::TearDown();
    }
    // The stand-in application started again with the commands file and these fault options.
    // It may listen on another port, and the link keeps the old one until a connection to it
    // fails, as in Explorer: a menu built here takes that failure before the test goes on.
    void runStub(const std::wstring& faults) {
        delete stub_;
        stub_ = new RunningStub(kRoot, L"--commands " + kRoot + L"\\commands.txt --command-folder " + settingsFolder() +
                                           L"\\" + kVersion + L" --no-state-server " + faults);
        faultsRun_ = !faults.empty();
        ASSERT_TRUE(stub_->waitUntilReady());
        select({L"C:\\restarted.txt"});
        build();
        journalMark_ = readLines(kRoot + L"\\journal.txt").size();
    }
    ComPtr<IExplorerCommand> createRoot() {
        CLSID id;
        CLSIDFromString(explorerCommandClassId().c_str(), &id);
        ComPtr<IClassFactory> factory;
        ComPtr<IExplorerCommand> root;
        EXPECT_EQ(getClassObject_(id, IID_IClassFactory, &factory), S_OK);
        if (factory) {
            EXPECT_EQ(factory->CreateInstance(nullptr, IID_PPV_ARGS(&root)), S_OK);
        }
        return root;
    }
    // The root's state asked as Explorer asks it, on its UI thread first.
    EXPCMDSTATE slowState(IExplorerCommand* root, IShellItemArray* items) {
        EXPCMDSTATE state = ECS_ENABLED;
        EXPECT_EQ(root->GetState(items, FALSE, &state), E_PENDING);
        EXPECT_EQ(root->GetState(items, TRUE, &state), S_OK);
        return state;
    }
    // Requests journaled after the first lines, leaving out the notifier's hand-over.
    std::size_t requestsSince(std::size_t mark) const {
        const std::vector<std::string> lines = readLines(kRoot + L"\\journal.txt");
        return static_cast<std::size_t>(std::count_if(lines.begin() + std::min(mark, lines.size()), lines.end(),
                                                      [](const std::string& line) {
                                                          return line.rfind("notify-started", 0) != 0;
                                                      }));
    }
    bool noRequestSince(std::size_t mark) const {
        std::this_thread::sleep_for(200ms);
        return requestsSince(mark) == 0;
    }
    std::wstring title(IExplorerCommand* command) {
        wchar_t* text = nullptr;
        const HRESULT hr = command->GetTitle(nullptr, &text);
        return takeText(hr, text);
    }

private:
    bool faultsRun_ = false;
};

TEST_F(ExplorerCommands, TheTreeShowsWhatTheClassicMenuShows) {
    ASSERT_EQ(select({L"C:\\a.txt", L"C:\\b c.txt"}), S_OK);
    build();
    std::vector<MenuEntry> classic = readMenu(popup_.get());
    ASSERT_GE(classic.size(), 2u);
    classic = {classic.begin() + 1, classic.end() - 1};  // the separators around our entries

    const auto items = shellItems({L"C:\\a.txt", L"", L"C:\\b c.txt"});  // the item without a path is left out
    const ComPtr<IExplorerCommand> root = createRoot();
    EXPECT_EQ(slowState(root.Get(), items.Get()), ECS_ENABLED);
    EXPECT_EQ(title(root.Get()), L"Quorvane");
    EXPCMDFLAGS flags = 0;
    root->GetFlags(&flags);
    EXPECT_EQ(flags, ECF_HASSUBCOMMANDS);
    const std::vector<TreeEntry> tree = readTree(root.Get(), items.Get());
    expectSameEntries(classic, tree);
    ASSERT_EQ(tree.size(), 3u);
    EXPECT_EQ(tree[0].icon, kInstall + L"\\lib\\icons\\c1.ico");
    EXPECT_EQ(tree[1].icon, kInstall + L"\\lib\\icons\\c2-g.ico");
    EXPECT_TRUE(journaled("get-commands\tC:\\a.txt\tC:\\b c.txt"));
    EXPECT_EQ(requestsSince(journalMark_), 2u);  // the classic menu's and the root's, none for reading the tree
}

TEST_F(ExplorerCommands, TheEnumeratorCountsSkipsResetsAndClones) {
    const auto items = shellItems({L"C:\\a.txt"});
    const ComPtr<IExplorerCommand> root = createRoot();
    ComPtr<IEnumExplorerCommand> commands, copy;
    ASSERT_EQ(slowState(root.Get(), items.Get()), ECS_ENABLED);
    ASSERT_EQ(root->EnumSubCommands(&commands), S_OK);
    IExplorerCommand* got[4] = {};
    ULONG fetched = 0;
    ASSERT_EQ(commands->Next(2, got, &fetched), S_OK);
    ASSERT_EQ(fetched, 2u);
    EXPECT_EQ(title(got[1]), L"Second");
    EXPECT_EQ(commands->Clone(&copy), S_OK);
    ASSERT_EQ(commands->Next(4, got + 2, &fetched), S_FALSE);
    ASSERT_EQ(fetched, 1u);
    EXPECT_EQ(title(got[2]), L"Group one");
    for (int i = 0; i < 3; ++i) got[i]->Release();
    EXPECT_EQ(copy->Next(4, got, nullptr), E_INVALIDARG);  // a count beyond one needs its out-count
    EXPECT_EQ(copy->Skip(1), S_OK);
    EXPECT_EQ(copy->Skip(1), S_FALSE);
    EXPECT_EQ(copy->Reset(), S_OK);
    ASSERT_EQ(copy->Next(1, got, nullptr), S_OK);
    EXPECT_EQ(title(got[0]), L"First");
    got[0]->Release();
}

TEST_F(ExplorerCommands, ASubCommandSendsItsNameWithTheWholeSelection) {
    const std::wstring longPath = L"C:\\" + std::wstring(300, L'p') + L"\\file.txt";
    const std::wstring foreign = L"C:\\x\\\x65e5\x672c\x0414.txt";
    const auto items = shellItems({longPath, foreign});
    const ComPtr<IExplorerCommand> root = createRoot();
    ASSERT_EQ(slowState(root.Get(), items.Get()), ECS_ENABLED);
    ComPtr<IEnumExplorerCommand> top, inGroup;
    ASSERT_EQ(root->EnumSubCommands(&top), S_OK);
    const std::vector<ComPtr<IExplorerCommand>> commands = commandsOf(top.Get());
    ASSERT_EQ(commands.size(), 3u);
    ASSERT_EQ(commands[2]->EnumSubCommands(&inGroup), S_OK);
    const std::vector<ComPtr<IExplorerCommand>> group = commandsOf(inGroup.Get());
    ASSERT_EQ(group.size(), 5u);
    const auto other = shellItems({L"C:\\other.txt"});
    ASSERT_EQ(slowState(root.Get(), other.Get()), ECS_ENABLED);  // the root's tree is replaced; the commands keep theirs
    EXPECT_EQ(title(group[2].Get()), L"Fifth");
    EXPECT_EQ(group[1]->Invoke(items.Get(), nullptr), E_NOTIMPL);  // the separator
    EXPECT_EQ(group[2]->Invoke(items.Get(), nullptr), S_OK);
    EXPECT_TRUE(journaled("c5\t" + utf8(longPath) + "\t" + utf8(foreign)));
}

// Explorer asks the root's state on a thread of its own while its UI thread reads the tree:
// while the same selection's tree is fetched again, the reader sees the last one whole.
TEST_F(ExplorerCommands, ThreadsShareTheRootsTreeSafely) {
    const auto items = shellItems({L"C:\\a.txt"});
    const ComPtr<IExplorerCommand> root = createRoot();
    ASSERT_EQ(slowState(root.Get(), items.Get()), ECS_ENABLED);
    std::atomic<int> enabled{0};
    std::thread background([&] {
        for (int i = 0; i < 20; ++i) {
            EXPCMDSTATE answer = ECS_HIDDEN;
            if (root->GetState(items.Get(), TRUE, &answer) == S_OK && answer == ECS_ENABLED) ++enabled;
        }
    });
    for (int i = 0; i < 20; ++i) {
        ComPtr<IEnumExplorerCommand> top;
        ASSERT_EQ(root->EnumSubCommands(&top), S_OK);
        const std::vector<ComPtr<IExplorerCommand>> commands = commandsOf(top.Get());
        ASSERT_EQ(commands.size(), 3u) << i;
        EXPECT_EQ(title(commands[2].Get()), L"Group one");
    }
    background.join();
    EXPECT_EQ(enabled.load(), 20);
}

TEST_F(ExplorerCommands, GetStateWithoutLeaveToBeSlowNeverWaitsForTheApplication) {
    // An application that takes every connection and never answers.
    delete stub_;
    stub_ = new RunningStub(kRoot, L"--delay-ms 600000 --command-folder " + settingsFolder() + L"\\" + kVersion +
                                       L" --no-state-server");
    ASSERT_TRUE(stub_->waitUntilReady());
    const auto items = shellItems({L"C:\\a.txt"});
    const ComPtr<IExplorerCommand> root = createRoot();
    EXPCMDSTATE state = ECS_ENABLED;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(root->GetState(items.Get(), FALSE, &state), E_PENDING);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 500ms);  // well under 50 ms where nothing else runs
    EXPECT_EQ(root->GetState(items.Get(), TRUE, &state), S_OK);  // within the reply's bounds
    EXPECT_EQ(state, ECS_HIDDEN);
    delete stub_;
    stub_ = new RunningStub(kRoot, L"--commands " + kRoot + L"\\commands.txt --command-folder " + settingsFolder() +
                                       L"\\" + kVersion + L" --no-state-server");
    ASSERT_TRUE(stub_->waitUntilReady());
}

// Windows 11 fetches on a background thread while its UI thread builds the menu: the UI
// thread's calls answer at once from what the root has, and only the fetch asks the application.
TEST_F(ExplorerCommands, TheUIThreadNeverWaitsForAFetchOnOtherThreads) {
    runStub(L"--wait-markers 3 --delay-ms 250");  // "get-commands" takes 1 s
    const auto items = shellItems({L"C:\\a.txt"});
    const ComPtr<IExplorerCommand> root = createRoot();
    EXPCMDSTATE state = ECS_HIDDEN;
    ASSERT_EQ(root->GetState(items.Get(), FALSE, &state), E_PENDING);
    std::atomic<bool> fetched{false};
    std::thread background([&] {
        EXPCMDSTATE answer = ECS_HIDDEN;
        EXPECT_EQ(root->GetState(items.Get(), TRUE, &answer), S_OK);
        EXPECT_EQ(answer, ECS_ENABLED);
        fetched = true;
    });
    EXPECT_TRUE(journaled("get-commands\tC:\\a.txt"));  // the fetch is on its way
    const auto start = std::chrono::steady_clock::now();
    ComPtr<IEnumExplorerCommand> during;
    EXPECT_EQ(root->EnumSubCommands(&during), S_OK);
    EXPECT_TRUE(commandsOf(during.Get()).empty());  // nothing fetched yet
    EXPECT_EQ(title(root.Get()), L"Quorvane");
    EXPCMDFLAGS flags = 0;
    EXPECT_EQ(root->GetFlags(&flags), S_OK);
    EXPECT_EQ(flags, ECF_HASSUBCOMMANDS);
    EXPECT_EQ(root->GetState(items.Get(), FALSE, &state), E_PENDING);
    const auto spent = std::chrono::steady_clock::now() - start;
    EXPECT_FALSE(fetched.load());  // nothing above waited for the fetch
    EXPECT_LT(spent, 1s);          // a few milliseconds where nothing else runs
    background.join();
    ComPtr<IEnumExplorerCommand> after;
    ASSERT_EQ(root->EnumSubCommands(&after), S_OK);
    EXPECT_EQ(commandsOf(after.Get()).size(), 3u);
    EXPECT_EQ(requestsSince(journalMark_), 1u);
}

// Explorer may ask the state again for the same selection: what was fetched for it stays,
// without a request, until another selection comes. The root holds the selection it was last
// asked about, and lets it go when another replaces it and when the root goes.
TEST_F(ExplorerCommands, TheSameSelectionKeepsItsTreeAndAnotherDropsIt) {
    const auto items = shellItems({L"C:\\a.txt"}), other = shellItems({L"C:\\b.txt"});
    ComPtr<IExplorerCommand> root = createRoot();
    ASSERT_EQ(slowState(root.Get(), items.Get()), ECS_ENABLED);
    const std::size_t mark = readLines(kRoot + L"\\journal.txt").size();
    EXPCMDSTATE state = ECS_HIDDEN;
    EXPECT_EQ(root->GetState(items.Get(), FALSE, &state), E_PENDING);
    ComPtr<IEnumExplorerCommand> same, none;
    ASSERT_EQ(root->EnumSubCommands(&same), S_OK);
    const std::vector<ComPtr<IExplorerCommand>> kept = commandsOf(same.Get());
    ASSERT_EQ(kept.size(), 3u);
    EXPECT_EQ(title(kept[2].Get()), L"Group one");
    EXPECT_EQ(items->references.load(), 2);

    EXPECT_EQ(root->GetState(other.Get(), FALSE, &state), E_PENDING);
    ASSERT_EQ(root->EnumSubCommands(&none), S_OK);
    EXPECT_TRUE(commandsOf(none.Get()).empty());
    EXPECT_TRUE(noRequestSince(mark));
    EXPECT_EQ(items->references.load(), 1);
    EXPECT_EQ(other->references.load(), 2);
    root.Reset();
    EXPECT_EQ(other->references.load(), 1);
}

// The UI thread's question asks nothing of the items, so a selection of any size costs the same.
TEST_F(ExplorerCommands, GetStateOnTheUIThreadCostsTheSameForOneItemAndForTwentyThousand) {
    std::vector<std::wstring> paths;
    for (int i = 0; i < 20000; ++i) paths.push_back(L"C:\\many\\file " + std::to_wstring(i) + L".txt");
    const auto many = shellItems(paths), one = shellItems({paths.front()}), between = shellItems({L"C:\\b.txt"});
    const ComPtr<IExplorerCommand> root = createRoot();
    // The fastest of a few, each for a new selection, as each new menu brings.
    const auto fastest = [&](PathItems* items) {
        auto best = std::chrono::steady_clock::duration::max();
        for (int i = 0; i < 5; ++i) {
            EXPCMDSTATE state = ECS_HIDDEN;
            root->GetState(between.Get(), FALSE, &state);
            const auto start = std::chrono::steady_clock::now();
            EXPECT_EQ(root->GetState(items, FALSE, &state), E_PENDING);
            best = std::min(best, std::chrono::steady_clock::now() - start);
        }
        return best;
    };
    const auto forOne = fastest(one.Get()), forMany = fastest(many.Get());
    EXPECT_EQ(many->pathsAsked.load() + one->pathsAsked.load(), 0);
    EXPECT_LT(forMany, 10 * forOne + 50ms) << std::chrono::duration<double, std::micro>(forOne).count() << " us for one, "
                                           << std::chrono::duration<double, std::micro>(forMany).count()
                                           << " us for 20,000";
}

TEST_F(ExplorerCommands, TheReducedModeLaunchesTheApplicationForOneItem) {
    config_->set(L"shell-integration-full", L"false");
    config_->set(L"executable", moduleFolder() + L"\\recorder.exe");
    const std::wstring record = kRoot + L"\\launched-by-command.txt";
    SetEnvironmentVariableW(L"QV_RECORDER_OUTPUT", record.c_str());
    const ComPtr<IExplorerCommand> root = createRoot();
    const auto two = shellItems({L"C:\\one.txt", L"C:\\two.txt"}), one = shellItems({L"C:\\one.txt"});
    EXPCMDSTATE state = ECS_ENABLED;
    EXPECT_EQ(root->GetState(two.Get(), FALSE, &state), S_OK);  // nothing to ask the application
    EXPECT_EQ(state, ECS_HIDDEN);
    EXPECT_EQ(root->GetState(one.Get(), FALSE, &state), S_OK);
    EXPECT_EQ(state, ECS_ENABLED);
    EXPECT_EQ(title(root.Get()), L"Launch Quorvane");
    EXPCMDFLAGS flags = ECF_HASSUBCOMMANDS;
    root->GetFlags(&flags);
    EXPECT_EQ(flags, ECF_DEFAULT);
    ComPtr<IEnumExplorerCommand> none;
    EXPECT_EQ(root->EnumSubCommands(&none), E_NOTIMPL);
    EXPECT_EQ(root->Invoke(two.Get(), nullptr), E_INVALIDARG);
    EXPECT_EQ(root->Invoke(one.Get(), nullptr), S_OK);
    for (int i = 0; i < 250 && !isPresent(record); ++i) std::this_thread::sleep_for(20ms);
    EXPECT_TRUE(isPresent(record));
    config_->remove(L"executable");
    SetEnvironmentVariableW(L"QV_RECORDER_OUTPUT", nullptr);
}

TEST_F(ExplorerCommands, DllCanUnloadNowWaitsForEveryRootSubCommandAndEnumerator) {
    init_->Release();
    menu_->Release();
    init_ = nullptr;
    menu_ = nullptr;
    const auto canUnloadNow =
        reinterpret_cast<CanUnloadNow>(reinterpret_cast<void*>(GetProcAddress(library_, "DllCanUnloadNow")));
    ASSERT_EQ(canUnloadNow(), S_OK);
    CountedSite site;
    ComPtr<IEnumExplorerCommand> commands;
    ComPtr<IExplorerCommand> first;
    {
        ComPtr<IExplorerCommand> root = createRoot();
        ComPtr<IObjectWithSite> sited;
        ASSERT_EQ(root.As(&sited), S_OK);
        EXPECT_EQ(sited->SetSite(&site), S_OK);
        EXPECT_EQ(site.references, 2);
        const auto items = shellItems({L"C:\\a.txt"});
        EXPECT_EQ(slowState(root.Get(), items.Get()), ECS_ENABLED);
        ASSERT_EQ(root->EnumSubCommands(&commands), S_OK);
        ASSERT_EQ(commands->Next(1, &first, nullptr), S_OK);
        EXPECT_EQ(canUnloadNow(), S_FALSE);
    }
    EXPECT_EQ(site.references, 1);  // the root released its site when it went
    EXPECT_EQ(canUnloadNow(), S_FALSE);
    commands.Reset();
    EXPECT_EQ(canUnloadNow(), S_FALSE);
    first.Reset();
    EXPECT_EQ(canUnloadNow(), S_OK);
}

TEST_F(ExplorerCommands, WithoutAUsableTreeTheRootIsHiddenAndNothingIsSent) {
    const ComPtr<IExplorerCommand> root = createRoot();
    EXPECT_EQ(slowState(root.Get(), nullptr), ECS_HIDDEN);  // nothing selected: nothing asked
    const auto noPath = shellItems({L""});
    EXPECT_EQ(slowState(root.Get(), noPath.Get()), ECS_HIDDEN);
    EXPECT_TRUE(noRequestSince(journalMark_));

    const auto items = shellItems({L"C:\\a.txt"});
    ASSERT_EQ(slowState(root.Get(), items.Get()), ECS_ENABLED);
    ComPtr<IEnumExplorerCommand> top;
    ASSERT_EQ(root->EnumSubCommands(&top), S_OK);
    const std::vector<ComPtr<IExplorerCommand>> kept = commandsOf(top.Get());
    ASSERT_FALSE(kept.empty());

    writeBytes(kRoot + L"\\commands.txt", "quick-commands\t3\nc1\tFirst\n");
    EXPECT_EQ(slowState(root.Get(), items.Get()), ECS_HIDDEN);
    ComPtr<IEnumExplorerCommand> empty;
    ASSERT_EQ(root->EnumSubCommands(&empty), S_OK);
    EXPECT_TRUE(commandsOf(empty.Get()).empty());

    stub_->kill();
    EXPECT_EQ(slowState(root.Get(), items.Get()), ECS_HIDDEN);
    const std::size_t mark = readLines(kRoot + L"\\journal.txt").size();
    EXPECT_EQ(kept[0]->Invoke(items.Get(), nullptr), E_INVALIDARG);  // no command server known any more
    EXPECT_TRUE(noRequestSince(mark));
}

}  // namespace
