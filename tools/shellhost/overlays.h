#pragma once
#include <ostream>
#include <string>
#include <vector>

// Asks every registered overlay class about each path, as Explorer does for every item it
// shows, and prints "<path>\t<state>\t<icon file>" or "<path>\t-" for an item without overlay.
// A folder given alone stands for its items. Gives false when no overlay class could be made.
bool showOverlays(const std::vector<std::wstring>& paths, std::wostream& out);
