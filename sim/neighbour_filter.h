// The second lower filter a mouse's stack may hold between its PDO and the filter under test
// (MouseConfig::neighbour): a faithful pass-through driver whose device object has other flags,
// another type and characteristics, and a larger StackSize than the PDO's plus one.
#pragma once

#include "config.h"

namespace sim::neighbour {

NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath);
// Creates the filter's device object and attaches it to the top of the PDO's stack. Null when a
// step failed (an injected fault); the stack is then left as it was.
PDEVICE_OBJECT AddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo, const NeighbourFilter &config);

}  // namespace sim::neighbour
