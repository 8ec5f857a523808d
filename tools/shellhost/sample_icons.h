#pragma once
#include <cstdint>
#include <string>
#include <vector>

// Overlay icons are this large; their badge is a disc centred this far from the lower-left
// corner (in both directions).
inline constexpr int kOverlayIconSize = 32;
inline constexpr int kOverlayBadgeCentre = 9;

// Writes a small 32-bit .ico file per name into the folder: a coloured disc filling 16x16, greyed
// for names ending in "-g"; with overlay, a 32x32 overlay with a badge of that colour in its
// lower-left corner. The demo and the tests get icon files to show that way.
bool writeSampleIcons(const std::wstring& folder, const std::vector<std::wstring>& names, bool overlay = false);

// The colour (0xRRGGBB) of a name's sample icon.
std::uint32_t sampleIconColor(const std::wstring& name);
