// The qx318ui component library: its exports, its type library and its
// version record.

#include "qx318ui/Qx318Module.h"
#include "qx318ui/Qx318TypeLib.h"
#include "winport/com/ComponentExports.h"

OSKAN_COMPONENT_EXPORTS(Qx318Module, Qx318TypeLibrary)

OSKAN_COMPONENT_VERSION(Qx318ui, "qx318ui")
