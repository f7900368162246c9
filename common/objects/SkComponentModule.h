#pragma once
// The module of the component library an object belongs to: the lock count
// every live object holds, and the type library its dual interfaces are served
// from. The shared object pieces call it; each component library defines it
// once (Mirel/MirelComponentModule.cpp, ods/OdsComponentModule.cpp), so that one library's
// objects never lock or describe themselves through another's module.

#include "winport/com/ComModule.h"

winport::ComModule& SkComponentModule();
