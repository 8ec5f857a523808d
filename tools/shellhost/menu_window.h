#pragma once
#include <windows.h>

#include <string>

// Shows the menu on the screen as Explorer does, through TrackPopupMenu from a window of its
// own, and opens the submenu of the given label (none when empty) with the keys a user would
// press. Once every menu is up it prints "menu shown:" and each menu's screen rectangle as
// " left,top,right,bottom" on a line of its own, at once, for whoever takes a picture of the
// screen. Closes the menu, choosing nothing, when the stop file exists, or after a minute.
// False when the window or the menu cannot be shown.
bool showMenuOnScreen(HMENU menu, const std::wstring& open, const std::wstring& stopFile);
