#pragma once
// Menu entries take bitmaps, the installation has icon files: each icon file becomes a 32-bit
// bitmap with alpha of the small-icon size, once per process.
#include <windows.h>

#include <string>

class Quorvane;

// The bitmap of the icon file, or none when it cannot be loaded. The caller must not delete it.
HBITMAP loadIconBitmap(Quorvane& link, const std::wstring& path);

// An empty (transparent) bottom-up 32-bit DIB section of the given size.
HRESULT Create32BitHBITMAP(HDC dc, const SIZE* size, void** bits, HBITMAP* bitmap);
