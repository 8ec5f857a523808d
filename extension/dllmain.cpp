// The library's entry points. Nothing here may throw into the caller.
#include <new>

#include "extension/class_factory.h"
#include "extension/module.h"
#include "wire/line_socket.h"

BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID reserved) {
    if (reason == DLL_PROCESS_ATTACH) debugTrace(L"In DLLMain, DLL_PROCESS_ATTACH\r\n");
    if (reason == DLL_PROCESS_DETACH) {
        debugTrace(L"In DLLMain, DLL_PROCESS_DETACH\r\n");
        // The runtime runs the library's static destructors after this returns; at process end
        // (reserved set) Windows Sockets must not be cleaned up from there.
        if (reserved) winsockGuard().skipCleanup();
    }
    return TRUE;
}

STDAPI DllGetClassObject(REFCLSID rclsid, REFIID riid, void** object) {
    debugTrace(L"In DllGetClassObject\r\n");
    if (!object) return E_POINTER;
    *object = nullptr;
    for (int k = 0; k < kClassIdCount; ++k) {
        if (!IsEqualCLSID(rclsid, kClassIds[k])) continue;
        auto* factory = new (std::nothrow) CComprehClassFactory(k == 0 ? nullptr : &kClassIds[k]);
        if (!factory) return E_OUTOFMEMORY;
        return handOut(factory, riid, object);
    }
    return CLASS_E_CLASSNOTAVAILABLE;
}

STDAPI DllCanUnloadNow() {
    debugTrace(L"In DLLCanUnloadNow\r\n");
    return moduleObjectCount() == 0 ? S_OK : S_FALSE;
}
