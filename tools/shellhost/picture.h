#pragma once
// A white picture in memory that GDI draws into, written out as a PNG file.
#include <windows.h>

#include <cstdint>
#include <string>

#include "common/handles.h"

class Picture {
public:
    Picture(int width, int height);
    ~Picture();
    Picture(const Picture&) = delete;
    Picture& operator=(const Picture&) = delete;

    bool valid() const { return bits_ != nullptr; }
    HDC dc() const { return dc_.get(); }
    // Through the Windows Imaging Component, which every Windows (and Wine) has; COM must be
    // initialised. False when any step fails.
    bool writePng(const std::wstring& path);

private:
    int width_, height_;
    MemoryDc dc_;
    BitmapHandle bitmap_;
    HGDIOBJ previous_ = nullptr;
    std::uint32_t* bits_ = nullptr;
};
