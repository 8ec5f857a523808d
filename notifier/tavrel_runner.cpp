#include "notifier/tavrel_runner.h"

bool TavrelRunner::startTavrelOnce(const std::wstring&) { return false; }
