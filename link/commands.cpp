// Fetching the command tree, sending a chosen command, and starting the application.
#include "link/command_tree.h"
#include "link/quorvane.h"
