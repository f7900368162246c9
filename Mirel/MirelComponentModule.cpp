// Mirel's objects, and the shared pieces they are built from, belong to MirelModule.
#include "Mirel/MirelModule.h"
#include "common/objects/SkComponentModule.h"

winport::ComModule& SkComponentModule() {
    return MirelModule();
}
