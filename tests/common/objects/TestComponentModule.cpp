// The objects under test belong to no component library: a module without
// classes or type library holds their locks.
#include "common/objects/SkComponentModule.h"

winport::ComModule& SkComponentModule() {
    static winport::ComModule module(nullptr, 0, IID_NULL, 1, 0);
    return module;
}
