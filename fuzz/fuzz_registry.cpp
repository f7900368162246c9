// The registry file's reader: any text is read or refused with a message,
// never crashes, and whatever it reads is written back as text that reads
// back to the same thing.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "winport/registry/RegistryTree.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace winport::registry;
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    Tree tree;
    std::string error;
    if (!Parse(text, &tree, &error)) {
        if (error.rfind("line ", 0) != 0)
            std::abort();
        return 0;
    }
    const std::string formatted = Format(tree);
    Tree again;
    if (!Parse(formatted, &again, &error))
        std::abort();
    if (Format(again) != formatted)
        std::abort();
    return 0;
}
