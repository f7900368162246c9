#pragma once
// ODSLib: the type library of the ods component library, as the tables it is
// compiled into (the library exports them; see ods/ods.cpp).

#include "winport/automation/TypeLibData.h"

const winport::TlbLibrary& OdsTypeLibrary();
