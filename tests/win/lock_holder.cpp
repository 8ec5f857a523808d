// Helper process for discovery tests: holds lock files open without delete sharing, as a
// running server does, until the quit event is set (at most a minute).
// Usage: lock_holder READY-EVENT QUIT-EVENT PATH...
#include <windows.h>

#include <vector>

#include "common/handles.h"

int wmain(int argc, wchar_t** argv) {
    if (argc < 4) return 2;
    std::vector<FileHandle> held;
    for (int i = 3; i < argc; ++i) {
        held.emplace_back(CreateFileW(argv[i], GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                      nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!held.back()) return 3;
    }
    KernelHandle ready(OpenEventW(EVENT_MODIFY_STATE, FALSE, argv[1]));
    KernelHandle quit(OpenEventW(SYNCHRONIZE, FALSE, argv[2]));
    if (!ready || !quit) return 4;
    SetEvent(ready.get());
    WaitForSingleObject(quit.get(), 60000);
    return 0;
}
