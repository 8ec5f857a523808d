#pragma once
#include <ostream>

// Checks the installation on this computer for the current user and prints one line per finding,
// "OK", "WARN" or "FAIL" and what was found, then a verdict line: the configuration and the class
// registration in each registry view, the overlay identifiers' places in the order Windows loads
// them, the context-menu handlers, the application's servers, Tavrel and the trace log. Only
// reads and probes; changes nothing. Gives 1 when anything failed, otherwise 0.
int runDoctor(std::wostream& out);
