#include "tools/shellhost/registration.h"

#include <windows.h>

#include <optional>

#include "common/handles.h"

namespace {

constexpr wchar_t kOverlayHandlers[] =
    L"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\ShellIconOverlayIdentifiers";
constexpr wchar_t kMenuHandlerName[] = L"Quorvane";
constexpr wchar_t kProductKey[] = L"Software\\Quorvane";
// On 64-bit Windows a 32-bit process sees its own view of HKLM\Software and HKCR\CLSID, so an
// installer writes each of them twice. 32-bit Windows ignores the flags: both name its one view.
constexpr REGSAM kViews[] = {KEY_WOW64_64KEY, KEY_WOW64_32KEY};

bool setString(HKEY hive, REGSAM view, const std::wstring& path, const wchar_t* name, const std::wstring& value) {
    RegKey key;
    if (RegCreateKeyExW(hive, path.c_str(), 0, nullptr, 0, KEY_SET_VALUE | view, nullptr, key.put(), nullptr) !=
        ERROR_SUCCESS)
        return false;
    return RegSetValueExW(key.get(), name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                          static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t))) == ERROR_SUCCESS;
}

// RegDeleteTreeW takes no view, and relative opens need not keep one: every call here names
// the whole path and the view.
void deleteTree(HKEY hive, REGSAM view, const std::wstring& path) {
    std::vector<std::wstring> children;
    {
        RegKey key;
        if (RegOpenKeyExW(hive, path.c_str(), 0, KEY_ENUMERATE_SUB_KEYS | view, key.put()) != ERROR_SUCCESS) return;
        wchar_t name[256];  // key names have at most 255 characters
        for (DWORD i = 0, size = 256;
             RegEnumKeyExW(key.get(), i, name, &size, nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
             ++i, size = 256)
            children.emplace_back(name, size);
    }
    for (const std::wstring& child : children) deleteTree(hive, view, path + L"\\" + child);
    RegDeleteKeyExW(hive, path.c_str(), view, 0);
}

// A process loads only a DLL of its own word size, from the classes of its own view: the view
// a DLL belongs in is read from the machine field of its PE header.
std::optional<REGSAM> viewOf(const std::wstring& dllPath) {
    FileHandle file(CreateFileW(dllPath.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    IMAGE_DOS_HEADER dos = {};
    struct {
        DWORD signature;
        IMAGE_FILE_HEADER header;
    } nt = {};
    DWORD got = 0;
    const bool read = file && ReadFile(file.get(), &dos, sizeof dos, &got, nullptr) && got == sizeof dos &&
                      dos.e_magic == IMAGE_DOS_SIGNATURE &&
                      SetFilePointer(file.get(), dos.e_lfanew, nullptr, FILE_BEGIN) != INVALID_SET_FILE_POINTER &&
                      ReadFile(file.get(), &nt, sizeof nt, &got, nullptr) && got == sizeof nt &&
                      nt.signature == IMAGE_NT_SIGNATURE;
    if (read && nt.header.Machine == IMAGE_FILE_MACHINE_AMD64) return KEY_WOW64_64KEY;
    if (read && nt.header.Machine == IMAGE_FILE_MACHINE_I386) return KEY_WOW64_32KEY;
    return std::nullopt;
}

std::wstring menuHandlerKey(const std::wstring& itemType) {
    return itemType + L"\\shellex\\ContextMenuHandlers\\" + kMenuHandlerName;
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

const std::vector<std::wstring>& contextMenuItemTypes() {
    static const std::vector<std::wstring> types{L"*", L"Directory", L"Directory\\Background"};
    return types;
}

const std::wstring& explorerCommandClassId() {
    static const std::wstring id = classIdOf(8);
    return id;
}

bool registerExtension(const std::vector<std::wstring>& dllPaths, const std::wstring& iconFolder) {
    bool ok = !dllPaths.empty();
    for (const std::wstring& dllPath : dllPaths) {
        const std::optional<REGSAM> view = viewOf(dllPath);
        if (!view) return false;
        auto set = [&](HKEY hive, const std::wstring& path, const wchar_t* name, const std::wstring& value) {
            ok &= setString(hive, *view, path, name, value);
        };
        auto registerClass = [&](const std::wstring& classId, const std::wstring& name) {
            const std::wstring key = L"CLSID\\" + classId;
            set(HKEY_CLASSES_ROOT, key, nullptr, name);
            set(HKEY_CLASSES_ROOT, key + L"\\InprocServer32", nullptr, dllPath);
            set(HKEY_CLASSES_ROOT, key + L"\\InprocServer32", L"ThreadingModel", L"Apartment");
        };
        registerClass(contextMenuClassId(), L"Quorvane context menu");
        registerClass(explorerCommandClassId(), L"Quorvane Explorer command");
        for (const std::wstring& itemType : contextMenuItemTypes())
            set(HKEY_CLASSES_ROOT, menuHandlerKey(itemType), nullptr, contextMenuClassId());
        for (const OverlayClass& overlay : overlayClasses()) {
            registerClass(overlay.classId, L"Quorvane overlay " + overlay.state);
            const std::wstring key = L"CLSID\\" + overlay.classId;
            set(HKEY_CLASSES_ROOT, key, L"id", overlay.state);
            set(HKEY_CLASSES_ROOT, key, L"icon", iconFolder + L"\\" + overlay.state + L".ico");
            set(HKEY_LOCAL_MACHINE, std::wstring(kOverlayHandlers) + L"\\" + overlayHandlerName(overlay), nullptr,
                overlay.classId);
        }
    }
    return ok;
}

void unregisterExtension() {
    for (REGSAM view : kViews) {
        deleteTree(HKEY_CLASSES_ROOT, view, L"CLSID\\" + contextMenuClassId());
        deleteTree(HKEY_CLASSES_ROOT, view, L"CLSID\\" + explorerCommandClassId());
        for (const std::wstring& itemType : contextMenuItemTypes())
            deleteTree(HKEY_CLASSES_ROOT, view, menuHandlerKey(itemType));
        for (const OverlayClass& overlay : overlayClasses()) {
            deleteTree(HKEY_CLASSES_ROOT, view, L"CLSID\\" + overlay.classId);
            deleteTree(HKEY_LOCAL_MACHINE, view, std::wstring(kOverlayHandlers) + L"\\" + overlayHandlerName(overlay));
        }
    }
}

bool configureApplication(const std::wstring& version, const std::wstring& installFolder,
                          const std::vector<std::wstring>& settings) {
    const std::wstring versionKey = std::wstring(kProductKey) + L"\\" + version;
    bool ok = true;
    for (REGSAM view : kViews) {
        ok &= setString(HKEY_LOCAL_MACHINE, view, kProductKey, nullptr, version) &&
              setString(HKEY_LOCAL_MACHINE, view, versionKey, nullptr, installFolder);
        for (const std::wstring& setting : settings) {
            const std::size_t equals = setting.find(L'=');
            if (equals == std::wstring::npos) return false;
            ok &= setString(HKEY_LOCAL_MACHINE, view, versionKey, setting.substr(0, equals).c_str(),
                            setting.substr(equals + 1));
        }
    }
    return ok;
}

void unconfigureApplication() {
    for (REGSAM view : kViews) deleteTree(HKEY_LOCAL_MACHINE, view, kProductKey);
}
