#pragma once
// The qx318ui component library's module: its class table (Qx318BrowseDlg),
// the registry script, the lock count every live object holds a lock on, and
// the type information ISkDialog is served from. The exports forward to it
// (qx318ui/qx318ui.cpp).

#include "winport/com/ComModule.h"

winport::ComModule& Qx318Module();
