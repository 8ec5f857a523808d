#pragma once
#include <string>
#include <vector>

// Writes a small 32-bit .ico file per name into the folder (a coloured disc, greyed for names
// ending in "-g"), so that the demo and the tests have icon files to show.
bool writeSampleIcons(const std::wstring& folder, const std::vector<std::wstring>& names);
