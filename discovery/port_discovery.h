// Port discovery: the configured OPOS port and the system's serial ports, from the registry.
#pragma once

#include "display/console_operations.h"

// Fills the port box through the console operations; shows nothing and never fails.
void discoverPorts(ConsoleOperations& console);
