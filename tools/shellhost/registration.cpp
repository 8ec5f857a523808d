#include "tools/shellhost/registration.h"

#include <windows.h>

#include "common/handles.h"

namespace {

constexpr wchar_t kOverlayHandlers[] =
    L"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\ShellIconOverlayIdentifiers";
constexpr wchar_t kMenuHandlerName[] = L"Quorvane";
const wchar_t* const kMenuHandlerParents[] = {L"*\\shellex\\ContextMenuHandlers",
                                              L"Directory\\shellex\\ContextMenuHandlers",
                                              L"Directory\\Background\\shellex\\ContextMenuHandlers"};

bool setString(HKEY hive, const std::wstring& path, const wchar_t* name, const std::wstring& value) {
    RegKey key;
    if (RegCreateKeyExW(hive, path.c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr, key.put(), nullptr) !=
        ERROR_SUCCESS)
        return false;
    return RegSetValueExW(key.get(), name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                          static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t))) == ERROR_SUCCESS;
}

std::wstring classIdOf(int index) {
    wchar_t text[40];
    swprintf(text, 40, L"{5B7E2A4%d-9C13-4D8F-B6A2-71E4C09D35F8}", index);
    return text;
}

// Overlay handlers are taken in name order and only the first few count, so the names begin
// with blanks, as installers of overlay handlers commonly do.
std::wstring overlayHandlerName(const OverlayClass& overlay) { return L"   Quorvane" + overlay.state; }

}  // namespace

const std::vector<OverlayClass>& overlayClasses() {
    static const std::vector<OverlayClass> classes = [] {
        const wchar_t* const states[] = {L"Synced", L"Syncing", L"Error", L"Conflict",
                                         L"Shared", L"Locked",  L"Excluded"};
        std::vector<OverlayClass> all;
        for (int i = 0; i < 7; ++i) all.push_back({classIdOf(i + 1), states[i]});
        return all;
    }();
    return classes;
}

const std::wstring& contextMenuClassId() {
    static const std::wstring id = classIdOf(0);
    return id;
}

bool registerExtension(const std::wstring& dllPath, const std::wstring& iconFolder) {
    bool ok = true;
    auto registerClass = [&](const std::wstring& classId, const std::wstring& name) {
        const std::wstring key = L"CLSID\\" + classId;
        ok &= setString(HKEY_CLASSES_ROOT, key, nullptr, name);
        ok &= setString(HKEY_CLASSES_ROOT, key + L"\\InprocServer32", nullptr, dllPath);
        ok &= setString(HKEY_CLASSES_ROOT, key + L"\\InprocServer32", L"ThreadingModel", L"Apartment");
    };
    registerClass(contextMenuClassId(), L"Quorvane context menu");
    for (const wchar_t* parent : kMenuHandlerParents)
        ok &= setString(HKEY_CLASSES_ROOT, std::wstring(parent) + L"\\" + kMenuHandlerName, nullptr,
                        contextMenuClassId());
    for (const OverlayClass& overlay : overlayClasses()) {
        registerClass(overlay.classId, L"Quorvane overlay " + overlay.state);
        const std::wstring key = L"CLSID\\" + overlay.classId;
        ok &= setString(HKEY_CLASSES_ROOT, key, L"id", overlay.state);
        ok &= setString(HKEY_CLASSES_ROOT, key, L"icon", iconFolder + L"\\" + overlay.state + L".ico");
        ok &= setString(HKEY_LOCAL_MACHINE, std::wstring(kOverlayHandlers) + L"\\" + overlayHandlerName(overlay),
                        nullptr, overlay.classId);
    }
    return ok;
}

void unregisterExtension() {
    RegDeleteTreeW(HKEY_CLASSES_ROOT, (L"CLSID\\" + contextMenuClassId()).c_str());
    for (const wchar_t* parent : kMenuHandlerParents)
        RegDeleteTreeW(HKEY_CLASSES_ROOT, (std::wstring(parent) + L"\\" + kMenuHandlerName).c_str());
    for (const OverlayClass& overlay : overlayClasses()) {
        RegDeleteTreeW(HKEY_CLASSES_ROOT, (L"CLSID\\" + overlay.classId).c_str());
        RegDeleteTreeW(HKEY_LOCAL_MACHINE, (std::wstring(kOverlayHandlers) + L"\\" + overlayHandlerName(overlay)).c_str());
    }
}

bool configureApplication(const std::wstring& version, const std::wstring& installFolder,
                          const std::vector<std::wstring>& settings) {
    const std::wstring versionKey = L"Software\\Quorvane\\" + version;
    bool ok = setString(HKEY_LOCAL_MACHINE, L"Software\\Quorvane", nullptr, version) &&
              setString(HKEY_LOCAL_MACHINE, versionKey, nullptr, installFolder);
    for (const std::wstring& setting : settings) {
        const std::size_t equals = setting.find(L'=');
        if (equals == std::wstring::npos) return false;
        ok &= setString(HKEY_LOCAL_MACHINE, versionKey, setting.substr(0, equals).c_str(), setting.substr(equals + 1));
    }
    return ok;
}

void unconfigureApplication() { RegDeleteTreeW(HKEY_LOCAL_MACHINE, L"Software\\Quorvane"); }
