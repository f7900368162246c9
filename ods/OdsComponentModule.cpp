// The ods objects, and the shared pieces they are built from, belong to OdsModule.
#include "common/objects/SkComponentModule.h"
#include "ods/OdsModule.h"

winport::ComModule& SkComponentModule() {
    return OdsModule();
}
