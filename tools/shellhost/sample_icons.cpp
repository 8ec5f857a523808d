#include "tools/shellhost/sample_icons.h"

#include <windows.h>

#include <cstdint>
#include <fstream>
#include <functional>

#include "common/handles.h"

namespace {

template <typename T>
void put(std::string& out, T value) {
    out.append(reinterpret_cast<const char*>(&value), sizeof value);
}

// A disc of the given centre and radius, in pixel centres of a bottom-up bitmap.
bool inDisc(int x, int y, double cx, double cy, double radius) {
    const double dx = x + 0.5 - cx, dy = y + 0.5 - cy;
    return dx * dx + dy * dy <= radius * radius;
}

// A command icon fills its 16x16 square. An overlay is drawn over the whole item icon, so it
// is as large as the icon (32x32) and keeps everything transparent but its badge in the
// lower-left corner, with a white rim that sets it off from any icon beneath.
std::uint32_t pixel(int x, int y, int size, bool overlay, std::uint32_t color) {
    if (!overlay) return inDisc(x, y, size / 2.0, size / 2.0, size / 2.0 - 1) ? 0xFF000000u | color : 0;
    if (inDisc(x, y, kOverlayBadgeCentre, kOverlayBadgeCentre, 7)) return 0xFF000000u | color;
    return inDisc(x, y, kOverlayBadgeCentre, kOverlayBadgeCentre, 8.5) ? 0xFFFFFFFFu : 0;
}

std::string iconBytes(int size, bool overlay, std::uint32_t color) {
    const std::uint32_t pixelBytes = size * size * 4, maskBytes = size * ((size + 31) / 32) * 4;
    std::string out;
    put<std::uint16_t>(out, 0);  // ICONDIR
    put<std::uint16_t>(out, 1);
    put<std::uint16_t>(out, 1);
    out += static_cast<char>(size);  // ICONDIRENTRY
    out += static_cast<char>(size);
    out += '\0';
    out += '\0';
    put<std::uint16_t>(out, 1);
    put<std::uint16_t>(out, 32);
    put<std::uint32_t>(out, 40 + pixelBytes + maskBytes);
    put<std::uint32_t>(out, 6 + 16);
    BITMAPINFOHEADER header = {};
    header.biSize = 40;
    header.biWidth = size;
    header.biHeight = size * 2;  // colour rows and mask rows
    header.biPlanes = 1;
    header.biBitCount = 32;
    put(out, header);
    for (int y = 0; y < size; ++y)
        for (int x = 0; x < size; ++x) put<std::uint32_t>(out, pixel(x, y, size, overlay, color));
    out.append(maskBytes, '\0');  // alpha decides; the mask shows everything
    return out;
}

}  // namespace

std::uint32_t sampleIconColor(const std::wstring& name) {
    if (name.size() > 2 && name.compare(name.size() - 2, 2, L"-g") == 0) return 0x909090;
    // The demo's states get the colours a user expects of them; other names a colour of their own.
    const std::pair<const wchar_t*, std::uint32_t> known[] = {
        {L"Synced", 0x2E7D32},   {L"Syncing", 0x1565C0}, {L"Error", 0xC62828},   {L"Conflict", 0xEF6C00},
        {L"Shared", 0x6A1B9A},   {L"Locked", 0x00838F},  {L"Excluded", 0x757575}};
    for (const auto& [state, color] : known)
        if (name == state) return color;
    const std::uint32_t palette[] = {0x2E7D32, 0x1565C0, 0xC62828, 0xEF6C00, 0x6A1B9A, 0x00838F, 0x5D4037};
    return palette[std::hash<std::wstring>{}(name) % 7];
}

bool writeSampleIcons(const std::wstring& folder, const std::vector<std::wstring>& names, bool overlay) {
    CreateDirectoryW(folder.c_str(), nullptr);
    bool ok = true;
    for (const std::wstring& name : names) {
        const std::wstring path = folder + L"\\" + name + L".ico";
        FileHandle file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                                    nullptr));
        const std::string bytes = iconBytes(overlay ? kOverlayIconSize : 16, overlay, sampleIconColor(name));
        DWORD written = 0;
        ok &= file && WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    }
    return ok;
}
