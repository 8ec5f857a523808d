#include "tools/shellhost/sample_icons.h"

#include <windows.h>

#include <cstdint>
#include <fstream>
#include <functional>

namespace {

constexpr int kSize = 16;

template <typename T>
void put(std::string& out, T value) {
    out.append(reinterpret_cast<const char*>(&value), sizeof value);
}

std::string iconBytes(std::uint32_t color) {
    const std::uint32_t pixelBytes = kSize * kSize * 4, maskBytes = kSize * 4;  // mask rows padded to 32 bits
    std::string out;
    put<std::uint16_t>(out, 0);  // ICONDIR
    put<std::uint16_t>(out, 1);
    put<std::uint16_t>(out, 1);
    out += static_cast<char>(kSize);  // ICONDIRENTRY
    out += static_cast<char>(kSize);
    out += '\0';
    out += '\0';
    put<std::uint16_t>(out, 1);
    put<std::uint16_t>(out, 32);
    put<std::uint32_t>(out, 40 + pixelBytes + maskBytes);
    put<std::uint32_t>(out, 6 + 16);
    BITMAPINFOHEADER header = {};
    header.biSize = 40;
    header.biWidth = kSize;
    header.biHeight = kSize * 2;  // colour rows and mask rows
    header.biPlanes = 1;
    header.biBitCount = 32;
    put(out, header);
    for (int y = 0; y < kSize; ++y)
        for (int x = 0; x < kSize; ++x) {
            const int dx = 2 * x - (kSize - 1), dy = 2 * y - (kSize - 1);
            const bool inside = dx * dx + dy * dy <= (kSize - 2) * (kSize - 2);
            put<std::uint32_t>(out, inside ? 0xFF000000u | color : 0);
        }
    out.append(maskBytes, '\0');  // alpha decides; the mask shows everything
    return out;
}

std::uint32_t colorFor(const std::wstring& name) {
    if (name.size() > 2 && name.compare(name.size() - 2, 2, L"-g") == 0) return 0x909090;
    const std::uint32_t palette[] = {0x2E7D32, 0x1565C0, 0xC62828, 0xEF6C00, 0x6A1B9A, 0x00838F, 0x5D4037};
    return palette[std::hash<std::wstring>{}(name) % 7];
}

}  // namespace

bool writeSampleIcons(const std::wstring& folder, const std::vector<std::wstring>& names) {
    CreateDirectoryW(folder.c_str(), nullptr);
    bool ok = true;
    for (const std::wstring& name : names) {
        const std::wstring path = folder + L"\\" + name + L".ico";
        HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file == INVALID_HANDLE_VALUE) {
            ok = false;
            continue;
        }
        const std::string bytes = iconBytes(colorFor(name));
        DWORD written = 0;
        ok &= WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) != FALSE;
        CloseHandle(file);
    }
    return ok;
}
