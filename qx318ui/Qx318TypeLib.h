#pragma once
// QX318UILib: the type library of the qx318ui component library, as the tables
// it is compiled into (the library exports them; see qx318ui/qx318ui.cpp).

#include "winport/automation/TypeLibData.h"

const winport::TlbLibrary& Qx318TypeLibrary();
