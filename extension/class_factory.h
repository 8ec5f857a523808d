#pragma once
#include <unknwn.h>

// Makes CCompreh objects for one class id; one factory per DllGetClassObject call.
class CComprehClassFactory final : public IClassFactory {
public:
    // classId: the overlay class the objects stand for, or none for the context-menu class.
    explicit CComprehClassFactory(const CLSID* classId) noexcept;

    STDMETHODIMP QueryInterface(REFIID riid, void** object) override;
    STDMETHODIMP_(ULONG) AddRef() override;
    STDMETHODIMP_(ULONG) Release() override;
    STDMETHODIMP CreateInstance(IUnknown* outer, REFIID riid, void** object) override;
    STDMETHODIMP LockServer(BOOL lock) override;

private:
    ~CComprehClassFactory();

    LONG references_ = 0;
    const CLSID* classId_;
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
