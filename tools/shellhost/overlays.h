#pragma once
#include <ostream>
#include <string>
#include <vector>

// Asks every registered overlay class about each path, as Explorer does for every item it
// shows, and prints "<path>\t<state>\t<icon file>" or "<path>\t-" for an item without overlay.
// A folder given alone stands for its items. With a picture path it also writes a PNG of the
// items side by side, each its shell icon with the chosen overlay and its name and state beneath.
// Gives false when no overlay class could be made or the picture could not be written.
bool showOverlays(const std::vector<std::wstring>& paths, const std::wstring& picture, std::wostream& out);

// The picture's layout: one cell per item, left to right, the icon centred at the cell's top.
inline constexpr int kPictureCellWidth = 120;
inline constexpr int kPictureHeight = 90;
inline constexpr int kPictureIconSize = 32;
inline constexpr int kPictureIconTop = 12;
