// CCompreh's identity and its overlay identifier.
#include "extension/compreh.h"

#include <shlobj.h>

#include "common/settings.h"
#include "extension/module.h"
#include "link/command_tree.h"
#include "link/quorvane.h"

namespace {

Logger& logger() { return applicationLink().logger(); }

bool beginsWith(const std::wstring& path, const std::wstring& prefix) {
    return path.compare(0, prefix.size(), prefix) == 0;
}

std::wstring classKeyOf(const CLSID& classId) {
    wchar_t text[40] = {};
    StringFromGUID2(classId, text, 40);
    return std::wstring(L"CLSID\\") + text;
}

// The state names of the seven overlay classes, as their objects read them.
std::vector<std::wstring> overlayStateIds() {
    std::vector<std::wstring> ids;
    for (int i = 1; i < kClassIdCount; ++i) {
        std::wstring id = readRegistryString(HKEY_CLASSES_ROOT, classKeyOf(kClassIds[i]), L"id", false);
        if (!id.empty()) ids.push_back(std::move(id));
    }
    return ids;
}

}  // namespace

CCompreh::CCompreh(const CLSID* classId) {
    logger().debug(L"Comprehension::Constructor");
    if (classId) {
        overlayBit_ = 1u << (classId - kClassIds);
        const std::wstring key = classKeyOf(*classId);
        stateId_ = readRegistryString(HKEY_CLASSES_ROOT, key, L"id", true);
        overlayIcon_ = readRegistryString(HKEY_CLASSES_ROOT, key, L"icon", true);
    }
    applicationLink().runShellNotifier();
}

CCompreh::~CCompreh() {
    logger().debug(L"Comprehension::Destructor");
}

STDMETHODIMP CCompreh::QueryInterface(REFIID riid, void** object) {
    logger().debug(L"Comprehension::QueryInterface");
    if (!object) return E_POINTER;
    *object = nullptr;
    if (IsEqualIID(riid, IID_IShellExtInit) || IsEqualIID(riid, IID_IUnknown))
        *object = static_cast<IShellExtInit*>(this);
    else if (IsEqualIID(riid, IID_IContextMenu))
        *object = static_cast<IContextMenu*>(this);
    else if (IsEqualIID(riid, IID_IShellIconOverlayIdentifier))
        *object = static_cast<IShellIconOverlayIdentifier*>(this);
    else
        return E_NOINTERFACE;
    AddRef();
    return S_OK;
}

STDMETHODIMP_(ULONG) CCompreh::AddRef() {
    logger().debug(L"Comprehension::AddRef");
    return static_cast<ULONG>(InterlockedIncrement(&references_));
}

STDMETHODIMP_(ULONG) CCompreh::Release() {
    logger().debug(L"Comprehension::Release");
    const LONG left = InterlockedDecrement(&references_);
    if (left == 0) delete this;  // the command tree goes with it
    return static_cast<ULONG>(left);
}

STDMETHODIMP CCompreh::GetOverlayInfo(LPWSTR iconFile, int capacity, int* index, DWORD* flags) {
    try {
        logger().debug(L"Comprehension::GetOverlayInfo");
        // A cut path would name another file: refuse rather than shorten.
        if (overlayIcon_.empty() || !iconFile || !index || !flags || capacity <= 0 ||
            overlayIcon_.size() >= static_cast<std::size_t>(capacity))
            return S_FALSE;
        overlayIcon_.copy(iconFile, overlayIcon_.size());
        iconFile[overlayIcon_.size()] = L'\0';
        *index = 0;
        *flags = ISIOI_ICONFILE;
        return S_OK;
    } catch (...) {
        return S_FALSE;
    }
}

STDMETHODIMP CCompreh::GetPriority(int* priority) {
    try {
        logger().debug(L"Comprehension::GetPriority");
    } catch (...) {
    }
    if (!priority) return E_POINTER;
    *priority = 0;
    return S_OK;
}

std::vector<std::wstring> CCompreh::determinePathsToIgnore() {
    logger().debug(L"Comprehension::determinePathsToIgnore");
    std::vector<std::wstring> paths;
    std::wstring profile = getKnownFolderPath(CSIDL_PROFILE, false);
    if (!profile.empty()) paths.push_back(std::move(profile));
    const std::wstring desktop = getKnownFolderPath(CSIDL_COMMON_DESKTOPDIRECTORY, false);
    const std::size_t cut = desktop.rfind(L'\\');
    if (cut != std::wstring::npos && cut > 0) paths.push_back(desktop.substr(0, cut));
    return paths;
}

std::vector<std::wstring> CCompreh::determinePathsToNotIgnore() {
    logger().debug(L"Comprehension::determinePathsToNotIgnore");
    std::vector<std::wstring> paths;
    std::wstring documents = getKnownFolderPath(CSIDL_PERSONAL, false);
    if (!documents.empty()) paths.push_back(std::move(documents));
    return paths;
}

bool CCompreh::isIgnored(const std::wstring& path) {
    CriticalSection::Scoped hold(lock_);
    if (pathsToIgnore_.empty()) {
        pathsToIgnore_ = determinePathsToIgnore();
        pathsToNotIgnore_ = determinePathsToNotIgnore();
    }
    for (const std::wstring& keep : pathsToNotIgnore_)
        if (beginsWith(path, keep)) return false;
    for (const std::wstring& ignore : pathsToIgnore_)
        if (beginsWith(path, ignore)) return true;
    return false;
}

STDMETHODIMP CCompreh::IsMemberOf(LPCWSTR pathText, DWORD) {
    try {
        const std::wstring path = pathText ? pathText : L"";
        Logger& log = logger();
        if (log.debugEnabled()) log.debug(L"Comprehension::IsMemberOf: " + path);
        if (path.size() < 2) return S_FALSE;
        try {
            if (isIgnored(path)) return S_FALSE;
        } catch (...) {
            log.error(L"Error while determining paths to (not) ignore");
            return S_FALSE;
        }
        const std::wstring state = applicationLink().getState(path, overlayBit_);
        if (log.debugEnabled()) log.debug(L"  State: " + state);
        if (state.empty()) return S_FALSE;
        if (state == stateId_) return S_OK;
        applicationLink().checkStateKnown(state, &overlayStateIds);  // another class's, or nobody's
        return S_FALSE;
    } catch (...) {
        return S_FALSE;
    }
}
