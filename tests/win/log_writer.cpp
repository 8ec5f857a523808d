// Helper process for the log tests: appends COUNT lines "writer TAG line I" with its own id.
#include <cstdlib>
#include <string>

#include "common/log.h"

int wmain(int argc, wchar_t** argv) {
    if (argc != 3) return 2;
    createInstanceId();
    const int count = std::wcstol(argv[2], nullptr, 10);
    for (int i = 0; i < count; ++i)
        appendLogLine(std::wstring(L"writer ") + argv[1] + L" line " + std::to_wstring(i));
    return 0;
}
