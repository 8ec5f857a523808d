// The library's entry points. Nothing here may throw into the caller.
#include <new>

#include "extension/class_factory.h"
#include "extension/explorer_command.h"
#include "extension/module.h"
#include "extension/thread_locals.h"
#include "link/quorvane.h"
#include "wire/line_socket.h"

namespace __gnu_cxx {
// The C++ runtime's emergency exception buffer (about 73 KB), allocated when the library is
// loaded and otherwise never freed.
void __freeres();
}  // namespace __gnu_cxx

namespace {

// Unloaded from a running process, the library gives back what loading and use took, so that
// a host that loads and unloads it all day stays flat. The static destructors (the link, with
// its connection, and Windows Sockets) run after this.
void releaseForUnload() noexcept {
    applicationLink().releaseIcons();
    releaseAllThreadLocals();
    __gnu_cxx::__freeres();
}

}  // namespace

BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID reserved) {
    switch (reason) {
        case DLL_PROCESS_ATTACH:
            debugTrace(L"In DLLMain, DLL_PROCESS_ATTACH\r\n");
            break;
        case DLL_THREAD_DETACH:
            releaseThreadLocalsOfThisThread();
            break;
        case DLL_PROCESS_DETACH:
            debugTrace(L"In DLLMain, DLL_PROCESS_DETACH\r\n");
            // At process end (reserved set) the other threads are gone and the process takes
            // everything with it; Windows Sockets must not be cleaned up from here then.
            if (reserved)
                winsockGuard().skipCleanup();
            else
                releaseForUnload();
            break;
    }
    return TRUE;
}

STDAPI DllGetClassObject(REFCLSID rclsid, REFIID riid, void** object) {
    debugTrace(L"In DllGetClassObject\r\n");
    if (!object) return E_POINTER;
    *object = nullptr;
    const CLSID* classId = nullptr;
    ObjectCreator create = nullptr;
    if (IsEqualCLSID(rclsid, kExplorerCommandClassId)) create = createExplorerCommand;
    for (int k = 0; k < kClassIdCount && !create; ++k) {
        if (!IsEqualCLSID(rclsid, kClassIds[k])) continue;
        classId = k == 0 ? nullptr : &kClassIds[k];
        create = createCompreh;
    }
    if (!create) return CLASS_E_CLASSNOTAVAILABLE;
    auto* factory = new (std::nothrow) CComprehClassFactory(classId, create);
    if (!factory) return E_OUTOFMEMORY;
    return handOut(factory, riid, object);
}

STDAPI DllCanUnloadNow() {
    debugTrace(L"In DLLCanUnloadNow\r\n");
    return moduleObjectCount() == 0 ? S_OK : S_FALSE;
}
