// The menu-icon cache: one bitmap per icon file for the life of the library, shared by all
// extension objects. The bitmaps are deleted only when the library is unloaded: until then,
// menus Explorer still shows may refer to them.
#include "link/quorvane.h"

HBITMAP Quorvane::cachedIcon(const std::wstring& path) {
    CriticalSection::Scoped hold(iconLock_);
    const auto found = iconCache_.find(path);
    return found == iconCache_.end() ? nullptr : found->second;
}

void Quorvane::releaseIcons() noexcept {
    CriticalSection::Scoped hold(iconLock_);
    for (const auto& [path, bitmap] : iconCache_)
        if (bitmap) DeleteObject(bitmap);
    iconCache_.clear();
}

void Quorvane::cacheIcon(const std::wstring& path, HBITMAP bitmap) {
    CriticalSection::Scoped hold(iconLock_);
    iconCache_[path] = bitmap;
}
