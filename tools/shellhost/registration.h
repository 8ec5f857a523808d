#pragma once
// The registry entries the application's installer writes, for tests, the demo and anyone who
// wants to try the extension: the nine COM classes, the shell's handler lists, and the
// application's configuration.
#include <string>
#include <vector>

struct OverlayClass {
    std::wstring classId;  // registry form, with braces
    std::wstring state;    // the "id" value: the state name the class stands for
};

// The seven overlay classes with the state names used here (the application defines its own).
const std::vector<OverlayClass>& overlayClasses();
const std::wstring& contextMenuClassId();
// Files, folders and folder backgrounds: where both menus appear (the sparse package names the same).
const std::vector<std::wstring>& contextMenuItemTypes();
// The Explorer-command class: no handler entry names it; the sparse package's manifest does.
const std::wstring& explorerCommandClassId();

// Registers compreh.dll (full Windows paths, one per word size) in the registry view of each
// DLL's word size; overlay icons are iconFolder\<state>.ico. False when a DLL is not a 64-bit or
// 32-bit x86 Windows image, or a key cannot be written. Removal covers both views.
bool registerExtension(const std::vector<std::wstring>& dllPaths, const std::wstring& iconFolder);
void unregisterExtension();

// HKLM\Software\Quorvane (default = version) and its version key with the installation folder
// and "name=value" settings, in both registry views; removal covers both.
bool configureApplication(const std::wstring& version, const std::wstring& installFolder,
                          const std::vector<std::wstring>& settings);
void unconfigureApplication();
