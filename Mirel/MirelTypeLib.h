#pragma once
// MIRELLib: the type library of the Mirel component library, as the tables
// it is compiled into (the library exports them; see Mirel/Mirel.cpp).

#include "winport/automation/TypeLibData.h"

const winport::TlbLibrary& MirelTypeLibrary();
