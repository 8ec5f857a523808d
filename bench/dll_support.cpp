#include "bench/dll_support.h"

#include "tools/shellhost/registration.h"

namespace bench {

std::wstring exeFolder() {
    wchar_t path[MAX_PATH];
    const DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
    const std::wstring full(path, n);
    return full.substr(0, full.rfind(L'\\'));
}

std::wstring knownFolder(int csidl) {
    wchar_t path[MAX_PATH] = {};
    SHGetFolderPathW(nullptr, csidl, nullptr, SHGFP_TYPE_CURRENT, path);
    return path;
}

LoadedExtension::LoadedExtension() {
    registerExtension({exeFolder() + L"\\compreh.dll"}, L"C:\\icons");
    library_ = LoadLibraryW((exeFolder() + L"\\compreh.dll").c_str());
}

LoadedExtension::~LoadedExtension() {
    FreeLibrary(library_);
    unregisterExtension();
}

void LoadedExtension::createObject(int index, REFIID riid, void** object) const {
    using GetClassObject = HRESULT(STDAPICALLTYPE*)(REFCLSID, REFIID, void**);
    const auto getClassObject =
        reinterpret_cast<GetClassObject>(reinterpret_cast<void*>(GetProcAddress(library_, "DllGetClassObject")));
    CLSID id;
    const std::wstring& classId = index == 0   ? contextMenuClassId()
                                  : index <= 7 ? overlayClasses()[index - 1].classId
                                               : explorerCommandClassId();
    CLSIDFromString(classId.c_str(), &id);
    IClassFactory* factory = nullptr;
    *object = nullptr;
    if (!getClassObject || FAILED(getClassObject(id, IID_IClassFactory, reinterpret_cast<void**>(&factory)))) return;
    factory->CreateInstance(nullptr, riid, object);
    factory->Release();
}

}  // namespace bench
