#pragma once
// What the whole library shares: the application link, the count of living COM objects that
// decides whether Explorer may unload it, and the table of class ids it serves.
#include <windows.h>

class Quorvane;

Quorvane& applicationLink() noexcept;

// Factories and extension objects alive; 0 means the library may be unloaded.
void moduleObjectCreated() noexcept;
void moduleObjectDestroyed() noexcept;
LONG moduleObjectCount() noexcept;

// Counts its owner among the living objects from its own construction to its destruction, so
// that an owner whose constructor throws after it is uncounted again as well.
class ModuleObjectCounted {
public:
    ModuleObjectCounted() noexcept { moduleObjectCreated(); }
    ~ModuleObjectCounted() { moduleObjectDestroyed(); }
    ModuleObjectCounted(const ModuleObjectCounted&) = delete;
    ModuleObjectCounted& operator=(const ModuleObjectCounted&) = delete;
};

// The eight class ids: the first is the context menu, the other seven are overlay classes.
inline constexpr int kClassIdCount = 8;
extern const CLSID kClassIds[kClassIdCount];
// The ninth class: the same commands as Explorer commands, for Windows 11's first context menu.
extern const CLSID kExplorerCommandClassId;

// Fixed texts for the debugger output, written whatever the logging switches say.
inline void debugTrace(const wchar_t* text) noexcept { OutputDebugStringW(text); }
