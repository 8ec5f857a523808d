#pragma once
#include <unknwn.h>

// Makes a new object of the class; the objects start at reference count 0 (see handOut).
using ObjectCreator = HRESULT (*)(const CLSID* classId, REFIID riid, void** object) noexcept;

// A CCompreh for the classic classes (classId: the overlay class the object stands for, or none
// for the context menu).
HRESULT createCompreh(const CLSID* classId, REFIID riid, void** object) noexcept;

// Makes the objects of one class id; one factory per DllGetClassObject call.
class CComprehClassFactory final : public IClassFactory {
public:
    CComprehClassFactory(const CLSID* classId, ObjectCreator create) noexcept;

    STDMETHODIMP QueryInterface(REFIID riid, void** object) override;
    STDMETHODIMP_(ULONG) AddRef() override;
    STDMETHODIMP_(ULONG) Release() override;
    STDMETHODIMP CreateInstance(IUnknown* outer, REFIID riid, void** object) override;
    STDMETHODIMP LockServer(BOOL lock) override;

private:
    ~CComprehClassFactory();

    LONG references_ = 0;
    const CLSID* classId_;
    ObjectCreator create_;
};

// Hands an object that starts at reference count 0 to its caller through QueryInterface; an
// object that no caller took (the interface is unknown) is freed again.
template <typename Object>
HRESULT handOut(Object* created, REFIID riid, void** object) {
    created->AddRef();
    const HRESULT result = created->QueryInterface(riid, object);
    created->Release();
    return result;
}
