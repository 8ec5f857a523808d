#pragma once
// compreh.dll loaded as a COM server loads it, for the benchmarks.
#include <windows.h>
#include <shlobj.h>

#include <string>

namespace bench {

std::wstring exeFolder();
std::wstring knownFolder(int csidl);

class LoadedExtension {
public:
    LoadedExtension();
    ~LoadedExtension();
    // A new object of the class id at that index (0: context menu, 1-7: overlays, 8: the
    // Explorer command of Windows 11's first menu).
    template <typename Interface>
    Interface* create(int index, REFIID riid) const {
        void* object = nullptr;
        createObject(index, riid, &object);
        return static_cast<Interface*>(object);
    }

private:
    void createObject(int index, REFIID riid, void** object) const;
    HMODULE library_;
};

}  // namespace bench
