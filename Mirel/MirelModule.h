#pragma once
// The Mirel component library's module: its class table (MirelUdpDevice, then
// MirelUdpRefresh), their registry scripts, the lock count that every live
// object holds a lock on, and the type information its dual interfaces are
// served from (also as SkComponentModule, for the shared object pieces). The
// exports of the library forward to it (Mirel/Mirel.cpp).

#include "winport/com/ComModule.h"

winport::ComModule& MirelModule();
