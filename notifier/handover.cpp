// The extension's side of the notifier: starting Tavrel and telling the application its port.
#include "link/quorvane.h"
#include "notifier/tavrel_runner.h"
