#pragma once
#include <ostream>
#include <string>
#include <vector>

struct CommandsRequest {
    std::vector<std::wstring> paths;  // the selected items
    std::wstring invoke;              // titles from the root down, joined by "/"; empty: none
};

// Drives the Explorer-command class as Windows 11's first context menu does: the root's state
// asked first without and then with leave to be slow, then the titles, states, icons and
// sub-commands, printed as an indented tree; invokes the command at the title path when asked.
// False when the class or the selection could not be made, or the command was not found.
bool showExplorerCommands(const CommandsRequest& request, std::wostream& out);
