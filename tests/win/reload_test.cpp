// compreh.dll loaded and unloaded again and again, as a program that opens file dialogs all day
// does: every cycle must give back what it took, or the host runs out of TLS slots, handles or
// memory. The application answers the menu well and the states with a bad escape, so that the
// failure paths (and the exception machinery under them) run in every cycle too.
#include <gtest/gtest.h>
#include <windows.h>
#include <psapi.h>
#include <shlobj.h>
#include <winternl.h>

#include <cstdio>

#include "tests/win/fake_server.h"
#include "tests/win/test_support.h"
#include "tools/shellhost/registration.h"
#include "tools/shellhost/sample_icons.h"

using namespace testing_support;

namespace {

using GetClassObject = HRESULT(STDAPICALLTYPE*)(REFCLSID, REFIID, void**);
using CanUnloadNow = HRESULT(STDAPICALLTYPE*)();

const std::wstring kVersion = L"reload-1";
const std::wstring kInstall = L"C:\\reload-test";

// The process's handles, from the system's list: Wine's GetProcessHandleCount gives 0.
std::size_t handleCount() {
    struct Entry {
        USHORT process, backTrace;
        UCHAR type, attributes;
        USHORT value;
        PVOID object;
        ULONG access;
    };
    struct Table {
        ULONG count;
        Entry entries[1];
    };
    using Query = LONG(NTAPI*)(ULONG, PVOID, ULONG, PULONG);
    const auto query = reinterpret_cast<Query>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQuerySystemInformation")));
    constexpr ULONG kSystemHandleInformation = 16;
    std::vector<char> buffer(1 << 20);
    ULONG needed = 0;
    while (query(kSystemHandleInformation, buffer.data(), static_cast<ULONG>(buffer.size()), &needed) != 0)
        buffer.resize(buffer.size() * 2);
    const auto* table = reinterpret_cast<const Table*>(buffer.data());
    std::size_t mine = 0;
    for (ULONG i = 0; i < table->count; ++i) mine += table->entries[i].process == (GetCurrentProcessId() & 0xFFFF);
    return mine;
}

// Free TLS slots, found by taking them all and giving them back.
std::size_t freeTlsSlots() {
    std::vector<DWORD> taken;
    for (DWORD slot; (slot = TlsAlloc()) != TLS_OUT_OF_INDEXES;) taken.push_back(slot);
    for (DWORD slot : taken) TlsFree(slot);
    return taken.size();
}

std::size_t committedBytes() {
    PROCESS_MEMORY_COUNTERS counters = {};
    GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters);
    return counters.PagefileUsage;
}

struct Figures {
    std::size_t handles, freeTls, committed;
};
Figures measure() { return {handleCount(), freeTlsSlots(), committedBytes()}; }

template <typename Interface>
Interface* create(GetClassObject getClassObject, const std::wstring& classId, REFIID riid) {
    CLSID id;
    CLSIDFromString(classId.c_str(), &id);
    IClassFactory* factory = nullptr;
    if (FAILED(getClassObject(id, IID_IClassFactory, reinterpret_cast<void**>(&factory)))) return nullptr;
    void* object = nullptr;
    factory->CreateInstance(nullptr, riid, &object);
    factory->Release();
    return static_cast<Interface*>(object);
}

// Load, the eight classes, one IsMemberOf, one context menu, release, unload. False when the
// library could not be loaded, refused to unload, or stayed in memory.
bool cycle(const std::wstring& dll, PCIDLIST_ABSOLUTE folder) {
    const HMODULE library = LoadLibraryW(dll.c_str());
    if (!library) return false;
    const auto getClassObject =
        reinterpret_cast<GetClassObject>(reinterpret_cast<void*>(GetProcAddress(library, "DllGetClassObject")));
    const auto canUnloadNow =
        reinterpret_cast<CanUnloadNow>(reinterpret_cast<void*>(GetProcAddress(library, "DllCanUnloadNow")));
    std::vector<IShellIconOverlayIdentifier*> overlays;
    for (const OverlayClass& overlay : overlayClasses())
        overlays.push_back(create<IShellIconOverlayIdentifier>(getClassObject, overlay.classId,
                                                               IID_IShellIconOverlayIdentifier));
    if (overlays.front()) overlays.front()->IsMemberOf(L"C:\\reload-test\\file.txt", 0);
    if (auto* init = create<IShellExtInit>(getClassObject, contextMenuClassId(), IID_IShellExtInit)) {
        init->Initialize(folder, nullptr, nullptr);
        IContextMenu* menu = nullptr;
        if (SUCCEEDED(init->QueryInterface(IID_IContextMenu, reinterpret_cast<void**>(&menu)))) {
            const HMENU popup = CreatePopupMenu();
            menu->QueryContextMenu(popup, 0, 1, 0x7FFF, CMF_EXPLORE);
            DestroyMenu(popup);
            menu->Release();
        }
        init->Release();
    }
    for (auto* overlay : overlays)
        if (overlay) overlay->Release();
    const bool mayUnload = canUnloadNow() == S_OK;
    FreeLibrary(library);
    return mayUnload && GetModuleHandleW(dll.c_str()) == nullptr;
}

TEST(Reload, LoadingAndUnloadingTwoThousandTimesLeavesNothingBehind) {
    FakeServer server([](SOCKET s) {
        for (std::string request; !(request = receiveRequest(s)).empty();)
            sendAll(s, request.rfind("get-commands\n", 0) == 0 ? "quick-commands\t2\nc1\tOne\ttrue\nc2\tTwo\tfalse\n\n"
                                                               : "garbled\\q\n\n");
    });
    ScopedConfig config(kVersion, kInstall);
    config.set(L"shell-integration-full", L"true");
    ensureFolder(kInstall + L"\\lib\\icons");
    ASSERT_TRUE(writeSampleIcons(kInstall + L"\\lib\\icons", {L"c1", L"c2-g"}));
    const std::wstring portFolder = settingsFolder() + L"\\" + kVersion;
    ensureFolder(portFolder);
    const std::wstring portFile = portFolder + L"\\" + hostName() + L".port";
    writeFile(portFile, std::to_string(server.port()));
    // Held without delete sharing, as a running application holds it.
    HANDLE lock = CreateFileW((portFile + L".lock").c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                              FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    // A running Tavrel, as far as the starter can tell: no start attempt in every object.
    const HANDLE tavrel = CreateMutexW(nullptr, TRUE, L"Tavrel::Notifier");
    const std::wstring dll = moduleFolder() + L"\\compreh.dll";
    registerExtension({dll}, kInstall);
    PIDLIST_ABSOLUTE folder = nullptr;
    ASSERT_EQ(SHParseDisplayName(kInstall.c_str(), nullptr, &folder, 0, nullptr), S_OK);

    // The first cycles load what stays for the life of the process (system libraries, COM).
    for (int i = 0; i < 50; ++i) ASSERT_TRUE(cycle(dll, folder));
    const Figures before = measure();
    constexpr int kCycles = 2000;
    for (int i = 0; i < kCycles; ++i) ASSERT_TRUE(cycle(dll, folder)) << "cycle " << i;
    const Figures after = measure();
    std::printf("after %d cycles: handles %zu -> %zu, free TLS slots %zu -> %zu, committed %zu -> %zu KiB\n",
                kCycles, before.handles, after.handles, before.freeTls, after.freeTls, before.committed >> 10,
                after.committed >> 10);
    EXPECT_LE(after.handles, before.handles + 8);
    EXPECT_EQ(after.freeTls, before.freeTls);
    EXPECT_LT(after.committed, before.committed + (8u << 20));  // 75 KB a cycle would be 150 MB

    CoTaskMemFree(folder);
    unregisterExtension();
    CloseHandle(lock);
    CloseHandle(tavrel);
    DeleteFileW(portFile.c_str());
    removeTree(portFolder);
    removeTree(kInstall);
}

}  // namespace
