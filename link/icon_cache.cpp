// The menu-icon cache: one bitmap per icon file for the life of the library, shared by all
// extension objects. The bitmaps are never deleted: menus Explorer still shows refer to them.
#include "link/quorvane.h"

HBITMAP Quorvane::cachedIcon(const std::wstring& path) {
    CriticalSection::Scoped hold(iconLock_);
    const auto found = iconCache_.find(path);
    return found == iconCache_.end() ? nullptr : found->second;
}

void Quorvane::cacheIcon(const std::wstring& path, HBITMAP bitmap) {
    CriticalSection::Scoped hold(iconLock_);
    iconCache_[path] = bitmap;
}
