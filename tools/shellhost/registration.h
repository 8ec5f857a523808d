#pragma once
// The registry entries the application's installer writes, for tests, the demo and anyone who
// wants to try the extension: the eight COM classes, the shell's handler lists, and the
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

// Registers compreh.dll (a full Windows path); overlay icons are iconFolder\<state>.ico.
bool registerExtension(const std::wstring& dllPath, const std::wstring& iconFolder);
void unregisterExtension();

// HKLM\Software\Quorvane (default = version) and its version key with the installation folder
// and "name=value" settings.
bool configureApplication(const std::wstring& version, const std::wstring& installFolder,
                          const std::vector<std::wstring>& settings);
void unconfigureApplication();
