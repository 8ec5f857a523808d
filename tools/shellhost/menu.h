#pragma once
#include <ostream>
#include <string>
#include <vector>

struct MenuRequest {
    std::vector<std::wstring> paths;  // selected items (one folder); empty with a background click
    std::wstring background;          // the folder whose background was clicked, or empty
    unsigned flags = 0x4;             // CMF_EXPLORE, as Explorer's folder view asks
    std::wstring invoke;              // an entry's label, or "#" and its offset; empty: none
    std::wstring showUntil;           // shows the menu on screen until this file exists; empty: not
    std::wstring open;                // the submenu opened there
};

// Builds the context menu as Explorer does (a real shell data object of the selection,
// QueryContextMenu), prints it as an indented tree with identifiers, offsets, greyed entries,
// bitmaps, verbs and help texts, shows it on screen and invokes an entry when asked. False when
// it failed.
bool showMenu(const MenuRequest& request, std::wostream& out);
