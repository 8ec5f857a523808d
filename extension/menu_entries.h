#pragma once
// What the classic context menu and the Explorer command tree share, so that both show the same
// entries: the mode switch, the cut labels, the icon files and the flattened group contents.
#include <string>
#include <vector>

class Command;
class CommandGroup;

// Labels longer than this are cut: menus draw nothing sensible beyond it.
inline constexpr std::size_t kMaxLabelLength = 127;

// "shell-integration-full" exactly "true": the application's command tree; otherwise the
// reduced menu of one entry that starts the application.
bool fullMenuMode();
inline constexpr wchar_t kLaunchLabel[] = L"Launch Quorvane";

std::wstring menuLabel(const Command& command);

// The installation folder + "\lib\icons\", or empty when no installation folder is configured.
std::wstring menuIconFolder();
// The icon file of a command in that folder (the grey one when it is disabled), or empty when
// there is no folder or the command's name could leave it. Whether the file exists is not asked.
std::wstring menuIconFile(const std::wstring& iconFolder, const Command& command);

// A group's entries as its submenu shows them: a nested group opens no level of its own, its
// entries follow in the same list, preceded by a separator (null) when anything came before.
std::vector<const Command*> flattenGroup(const CommandGroup& group);
