#include "extension/class_factory.h"

#include <new>

#include "extension/compreh.h"
#include "extension/module.h"

HRESULT createCompreh(const CLSID* classId, REFIID riid, void** object) noexcept {
    try {
        CCompreh* created = new (std::nothrow) CCompreh(classId);
        if (!created) return E_OUTOFMEMORY;
        return handOut(created, riid, object);
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    } catch (...) {
        return E_UNEXPECTED;
    }
}

CComprehClassFactory::CComprehClassFactory(const CLSID* classId, ObjectCreator create) noexcept
    : classId_(classId), create_(create) {
    debugTrace(L"CComprehClassFactory::CComprehClassFactory()\r\n");
    moduleObjectCreated();
}

CComprehClassFactory::~CComprehClassFactory() { moduleObjectDestroyed(); }

STDMETHODIMP CComprehClassFactory::QueryInterface(REFIID riid, void** object) {
    debugTrace(L"CComprehClassFactory::QueryInterface()\r\n");
    if (!object) return E_POINTER;
    *object = nullptr;
    if (!IsEqualIID(riid, IID_IUnknown) && !IsEqualIID(riid, IID_IClassFactory)) return E_NOINTERFACE;
    *object = static_cast<IClassFactory*>(this);
    AddRef();
    return S_OK;
}

STDMETHODIMP_(ULONG) CComprehClassFactory::AddRef() { return static_cast<ULONG>(InterlockedIncrement(&references_)); }

STDMETHODIMP_(ULONG) CComprehClassFactory::Release() {
    const LONG left = InterlockedDecrement(&references_);
    if (left == 0) delete this;
    return static_cast<ULONG>(left);
}

STDMETHODIMP CComprehClassFactory::CreateInstance(IUnknown* outer, REFIID riid, void** object) {
    debugTrace(L"CComprehClassFactory::CreateInstance()\r\n");
    if (!object) return E_POINTER;
    *object = nullptr;
    if (outer) return CLASS_E_NOAGGREGATION;
    return create_(classId_, riid, object);
}

STDMETHODIMP CComprehClassFactory::LockServer(BOOL) { return S_OK; }
