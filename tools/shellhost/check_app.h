#pragma once
#include <ostream>
#include <string>
#include <vector>

// What "shellhost check-app" asks the running application about: items it reports states for,
// and a command to send (none unless named: commands act).
struct CheckAppRequest {
    std::vector<std::wstring> paths;
    std::wstring command;
};

// Checks the running application's servers as the extension uses them and prints one line per
// rule, "OK", "WARN" or "FAIL" with what was found and the fix, then a verdict line. The rules
// are the extension's own code: its lock test, port-file reading, line encoding and command-tree
// grammar. Gives 1 when any rule failed, otherwise 0.
int runCheckApp(const CheckAppRequest& request, std::wostream& out);
