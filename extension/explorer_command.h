#pragma once
// The application's commands as Explorer commands (IExplorerCommand), which Windows 11 shows in
// its first context menu when a package with an identity names the class. The same tree as the
// classic context menu, fetched by the root command and offered as its sub-commands.
#include <windows.h>

// Creates a root command. Never throws.
HRESULT createExplorerCommand(const CLSID* classId, REFIID riid, void** object) noexcept;
