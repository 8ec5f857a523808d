// compreh.dll loaded as a COM server loads it: its exports, the factory, and the overlay
// identifiers answering from a running stand-in application.
#include <gtest/gtest.h>

#include <algorithm>

#include <shlobj.h>

#include <thread>

#include "tests/win/appstub_process.h"
#include "tests/win/test_support.h"
#include "tools/shellhost/registration.h"

using namespace testing_support;

namespace {

using GetClassObject = HRESULT(STDAPICALLTYPE*)(REFCLSID, REFIID, void**);
using CanUnloadNow = HRESULT(STDAPICALLTYPE*)();

// 0: the context menu, 1 to 7: the overlay classes, 8: the Explorer command.
CLSID classIdAt(int index) {
    CLSID id;
    CLSIDFromString(index == 0   ? contextMenuClassId().c_str()
                    : index == 8 ? explorerCommandClassId().c_str()
                                 : overlayClasses()[index - 1].classId.c_str(),
                    &id);
    return id;
}

template <typename Interface>
struct Released {
    void operator()(Interface* p) const {
        if (p) p->Release();
    }
};
template <typename Interface>
using ComPtr = std::unique_ptr<Interface, Released<Interface>>;

class Extension : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        registerExtension({moduleFolder() + L"\\compreh.dll"}, L"C:\\icons");
        library_ = LoadLibraryW((moduleFolder() + L"\\compreh.dll").c_str());
        ASSERT_NE(library_, nullptr);
        getClassObject_ = exported<GetClassObject>("DllGetClassObject");
        canUnloadNow_ = exported<CanUnloadNow>("DllCanUnloadNow");
    }
    static void TearDownTestSuite() {
        FreeLibrary(library_);
        unregisterExtension();
    }

    template <typename Function>
    static Function exported(const char* name) {
        // Through a plain pointer: GetProcAddress's type says nothing about the real signature.
        return reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(library_, name)));
    }
    static ComPtr<IClassFactory> factory(int index) {
        IClassFactory* f = nullptr;
        EXPECT_EQ(getClassObject_(classIdAt(index), IID_IClassFactory, reinterpret_cast<void**>(&f)), S_OK);
        return ComPtr<IClassFactory>(f);
    }
    static ComPtr<IShellIconOverlayIdentifier> overlay(int index) {
        IShellIconOverlayIdentifier* o = nullptr;
        EXPECT_EQ(factory(index)->CreateInstance(nullptr, IID_IShellIconOverlayIdentifier, reinterpret_cast<void**>(&o)),
                  S_OK);
        return ComPtr<IShellIconOverlayIdentifier>(o);
    }

    static HMODULE library_;
    static GetClassObject getClassObject_;
    static CanUnloadNow canUnloadNow_;
};
HMODULE Extension::library_ = nullptr;
GetClassObject Extension::getClassObject_ = nullptr;
CanUnloadNow Extension::canUnloadNow_ = nullptr;

TEST_F(Extension, ExportsAndFactoryKeepTheModuleCount) {
    ASSERT_NE(getClassObject_, nullptr);
    ASSERT_NE(canUnloadNow_, nullptr);
    EXPECT_EQ(canUnloadNow_(), S_OK);
    {
        ComPtr<IClassFactory> f = factory(0);
        EXPECT_EQ(canUnloadNow_(), S_FALSE);
        EXPECT_EQ(f->LockServer(TRUE), S_OK);
        IUnknown* object = nullptr;
        ASSERT_EQ(f->CreateInstance(nullptr, IID_IUnknown, reinterpret_cast<void**>(&object)), S_OK);
        ComPtr<IUnknown> held(object);
        f.reset();
        EXPECT_EQ(canUnloadNow_(), S_FALSE);  // the object alone keeps the library loaded
    }
    EXPECT_EQ(canUnloadNow_(), S_OK);  // LockServer does not keep it loaded
}

TEST_F(Extension, UnknownClassesAndInterfacesAreRefusedAndNothingLeaks) {
    CLSID other = classIdAt(7);
    other.Data1 = 0x5B7E2A49;  // the id after the ninth class's
    void* object = reinterpret_cast<void*>(1);
    EXPECT_EQ(getClassObject_(other, IID_IClassFactory, &object), CLASS_E_CLASSNOTAVAILABLE);
    EXPECT_EQ(object, nullptr);
    EXPECT_EQ(getClassObject_(classIdAt(1), IID_IShellFolder, &object), E_NOINTERFACE);
    EXPECT_EQ(object, nullptr);
    IUnknown* unknown = nullptr;
    ASSERT_EQ(getClassObject_(classIdAt(1), IID_IUnknown, reinterpret_cast<void**>(&unknown)), S_OK);
    unknown->Release();

    for (const int index : {3, 8}) {
        ComPtr<IClassFactory> f = factory(index);
        // Never called: aggregation is refused before anything is made.
        IUnknown* outer = reinterpret_cast<IUnknown*>(&f);
        EXPECT_EQ(f->CreateInstance(outer, IID_IUnknown, &object), CLASS_E_NOAGGREGATION);
        EXPECT_EQ(f->CreateInstance(nullptr, IID_IShellFolder, &object), E_NOINTERFACE) << index;
        EXPECT_EQ(object, nullptr);
    }
    EXPECT_EQ(canUnloadNow_(), S_OK);
}

TEST_F(Extension, OneObjectServesAllThreeInterfaces) {
    ComPtr<IShellIconOverlayIdentifier> o = overlay(2);
    IContextMenu* menu = nullptr;
    IShellExtInit* init = nullptr;
    IUnknown *viaMenu = nullptr, *viaOverlay = nullptr;
    ASSERT_EQ(o->QueryInterface(IID_IContextMenu, reinterpret_cast<void**>(&menu)), S_OK);
    ASSERT_EQ(menu->QueryInterface(IID_IShellExtInit, reinterpret_cast<void**>(&init)), S_OK);
    menu->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&viaMenu));
    o->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&viaOverlay));
    EXPECT_EQ(viaMenu, viaOverlay);  // one identity
    for (IUnknown* p : {static_cast<IUnknown*>(menu), static_cast<IUnknown*>(init), viaMenu, viaOverlay}) p->Release();
}

TEST_F(Extension, OverlayInfoGivesTheIconFileWholeOrNothing) {
    ComPtr<IShellIconOverlayIdentifier> synced = overlay(1);
    const std::wstring icon = L"C:\\icons\\Synced.ico";
    wchar_t buffer[MAX_PATH];
    int index = -1, priority = -1;
    DWORD flags = 0;
    ASSERT_EQ(synced->GetOverlayInfo(buffer, MAX_PATH, &index, &flags), S_OK);
    EXPECT_EQ(buffer, icon);
    EXPECT_EQ(index, 0);
    EXPECT_EQ(flags, static_cast<DWORD>(ISIOI_ICONFILE));
    wcscpy(buffer, L"untouched");
    index = 7;
    EXPECT_EQ(synced->GetOverlayInfo(buffer, static_cast<int>(icon.size()), &index, &flags), S_FALSE);
    EXPECT_STREQ(buffer, L"untouched");
    EXPECT_EQ(index, 7);
    EXPECT_EQ(synced->GetOverlayInfo(buffer, static_cast<int>(icon.size()) + 1, &index, &flags), S_OK);
    EXPECT_EQ(synced->GetPriority(&priority), S_OK);
    EXPECT_EQ(priority, 0);

    IShellIconOverlayIdentifier* menuObject = nullptr;
    ASSERT_EQ(factory(0)->CreateInstance(nullptr, IID_IShellIconOverlayIdentifier, reinterpret_cast<void**>(&menuObject)),
              S_OK);
    EXPECT_EQ(menuObject->GetOverlayInfo(buffer, MAX_PATH, &index, &flags), S_FALSE);  // no class id, no icon
    EXPECT_EQ(menuObject->IsMemberOf(L"C:\\anything", 0), S_FALSE);
    menuObject->Release();
}

// With the stand-in application answering states for a sample folder.
class Overlays : public Extension {
protected:
    void SetUp() override {
        removeTree(kFolder);
        ensureFolder(kFolder);
        removeTree(settingsFolder() + L"\\statuscache-1");
        writeBytes(kFolder + L"\\rules.txt",
                   "C:\\overlay-test\\synced\tSynced\nC:\\overlay-test\\syncing\tSyncing\n"
                   "C:\\overlay-test\\error\tError\nC:\\overlay-test\\conflict\tConflict\n"
                   "C:\\overlay-test\\shared\tShared\nC:\\overlay-test\\locked\tLocked\n"
                   "C:\\overlay-test\\excluded\tExcluded\nC:\\overlay-test\\lower\tsynced\n" +
                       narrow(profileFolder()) + "\tSynced\n" + narrow(publicFolder()) + "\tSynced\n");
        stub_ = std::make_unique<RunningStub>(kFolder, L"--rules \"" + kFolder + L"\\rules.txt\" --command-folder \"" +
                                                           kFolder + L"\\cmd\"");
        ASSERT_TRUE(stub_->waitUntilReady());
    }
    void TearDown() override {
        stub_.reset();
        removeTree(kFolder);
        removeTree(settingsFolder() + L"\\statuscache-1");
    }
    static std::wstring knownFolder(int csidl) {
        wchar_t path[MAX_PATH];
        SHGetFolderPathW(nullptr, csidl, nullptr, SHGFP_TYPE_CURRENT, path);
        return path;
    }
    static std::wstring profileFolder() { return knownFolder(CSIDL_PROFILE); }
    static std::wstring publicFolder() {
        const std::wstring desktop = knownFolder(CSIDL_COMMON_DESKTOPDIRECTORY);
        return desktop.substr(0, desktop.rfind(L'\\'));
    }
    std::size_t statesAsked() const {
        std::size_t n = 0;
        for (const std::string& line : readLines(kFolder + L"\\journal.txt")) n += line.rfind("get-states\t", 0) == 0;
        return n;
    }

    const std::wstring kFolder = L"C:\\overlay-test";
    std::unique_ptr<RunningStub> stub_;
};

TEST_F(Overlays, EachClassClaimsExactlyItsOwnState) {
    std::vector<ComPtr<IShellIconOverlayIdentifier>> overlays;
    for (int k = 1; k <= 7; ++k) overlays.push_back(overlay(k));
    const std::size_t asked = statesAsked();
    for (int item = 0; item < 7; ++item) {
        std::wstring state = overlayClasses()[item].state;
        std::wstring path = kFolder + L"\\" + state + L"\\file.txt";
        for (wchar_t& c : path) c = towlower(c);
        for (int k = 0; k < 7; ++k)
            EXPECT_EQ(overlays[k]->IsMemberOf(path.c_str(), 0), k == item ? S_OK : S_FALSE) << narrow(path) << " " << k;
    }
    EXPECT_EQ(statesAsked(), asked + 7);  // the seven classes share one answer per item
    // "synced" in other letters is another state, and no class's: the log says so once.
    clearLog();
    EXPECT_EQ(overlays[0]->IsMemberOf(L"C:\\overlay-test\\lower\\a", 0), S_FALSE);
    EXPECT_EQ(overlays[1]->IsMemberOf(L"C:\\overlay-test\\lower\\b", 0), S_FALSE);
    const std::vector<std::string> logged = logMessages();
    EXPECT_EQ(std::count_if(logged.begin(), logged.end(), [](const std::string& m) {
                  return m.find("mistake of the application: the state 'synced' is no overlay class's id; the ids "
                                "are 'Synced', 'Syncing', 'Error',") != std::string::npos;
              }), 1) << logged.size();
    // No state at all claims nothing.
    EXPECT_EQ(overlays[0]->IsMemberOf(L"C:\\overlay-test\\none", 0), S_FALSE);
    EXPECT_EQ(overlays[0]->IsMemberOf(L"C", 0), S_FALSE);
}

TEST_F(Overlays, ProfileAndPublicFoldersAskNothingButDocumentsDo) {
    ComPtr<IShellIconOverlayIdentifier> synced = overlay(1);
    const std::size_t before = statesAsked();
    EXPECT_EQ(synced->IsMemberOf((profileFolder() + L"\\Desktop\\a.txt").c_str(), 0), S_FALSE);
    EXPECT_EQ(synced->IsMemberOf((profileFolder() + L"2\\x").c_str(), 0), S_FALSE);  // a plain prefix
    EXPECT_EQ(synced->IsMemberOf((publicFolder() + L"\\Music\\a.mp3").c_str(), 0), S_FALSE);
    EXPECT_EQ(statesAsked(), before);
    EXPECT_EQ(synced->IsMemberOf((knownFolder(CSIDL_PERSONAL) + L"\\work\\a.txt").c_str(), 0), S_OK);
    std::wstring otherCase = profileFolder() + L"\\x";
    otherCase[0] = static_cast<wchar_t>(towlower(otherCase[0]));
    synced->IsMemberOf(otherCase.c_str(), 0);
    EXPECT_EQ(statesAsked(), before + 2);
}

TEST_F(Overlays, EightThreadsAskAtOnceAndEveryAnswerIsRight) {
    std::vector<ComPtr<IShellIconOverlayIdentifier>> overlays;
    for (int k = 1; k <= 7; ++k) overlays.push_back(overlay(k));
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t)
        threads.emplace_back([&, t] {
            CoInitializeEx(nullptr, COINIT_MULTITHREADED);
            ComPtr<IShellIconOverlayIdentifier> own = overlay(1 + t % 7);
            for (int i = 0; i < 150; ++i) {
                const int item = (t + i) % 7;
                std::wstring path = kFolder + L"\\" + overlayClasses()[item].state + L"\\f" + std::to_wstring(i);
                const bool expected = item == t % 7;
                if ((own->IsMemberOf(path.c_str(), 0) == S_OK) != expected) ++wrong;
                if ((overlays[item]->IsMemberOf(path.c_str(), 0) == S_OK) != true) ++wrong;
            }
            own.reset();
            CoUninitialize();
        });
    for (auto& t : threads) t.join();
    EXPECT_EQ(wrong.load(), 0);
    overlays.clear();
    EXPECT_EQ(canUnloadNow_(), S_OK);
}

}  // namespace

namespace {

TEST_F(Overlays, AStoppedApplicationLosesItsOverlaysAndARestartBringsThemBackAfterThePause) {
    ComPtr<IShellIconOverlayIdentifier> synced = overlay(1);
    const wchar_t* path = L"C:\\overlay-test\\synced\\a.txt";
    ASSERT_EQ(synced->IsMemberOf(path, 0), S_OK);

    stub_->kill();
    const auto stopped = std::chrono::steady_clock::now();
    EXPECT_EQ(synced->IsMemberOf(path, 0), S_FALSE);
    EXPECT_LT(std::chrono::steady_clock::now() - stopped, std::chrono::seconds(10));  // bounded, not endless

    stub_ = std::make_unique<RunningStub>(kFolder, L"--rules \"" + kFolder + L"\\rules.txt\" --command-folder \"" +
                                                       kFolder + L"\\cmd\"");
    ASSERT_TRUE(stub_->waitUntilReady());
    // Within the pause nothing is asked, even though the application runs again.
    const std::size_t asked = statesAsked();
    // The pause began after the failed query, so it surely lasts this long past the stop.
    if (std::chrono::steady_clock::now() - stopped < std::chrono::milliseconds(500)) {
        EXPECT_EQ(synced->IsMemberOf(path, 0), S_FALSE);
        EXPECT_EQ(statesAsked(), asked);
    }
    // After the pause discovery finds the new port: waited for, not timed.
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(15);
    HRESULT found = S_FALSE;
    while ((found = synced->IsMemberOf(path, 0)) != S_OK && std::chrono::steady_clock::now() < end)
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(found, S_OK);
}

}  // namespace
