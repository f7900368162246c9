// The reply parsers on any bytes, read from a buffer of exactly the input's
// size, so a read past the length is a sanitizer finding.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "Mirel/mireldebuggee.h"
#include "common/MessageTransport.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const int length = static_cast<int>(size);
    auto exact = std::make_unique<char[]>(size ? size : 1);
    if (size)
        std::memcpy(exact.get(), data, size);
    const char* text = exact.get();

    uint8_t mac[6] = {};
    const int fields = MessageTransport::ParseMacText(text, length, mac);
    if (fields < 0 || fields > 6)
        std::abort();

    MessageTransport::ParseReplyId(text, length);

    OSKAN_PCODE_MACHINE_MODE mode = OPCM_MODE_UNKNOWN;
    int32_t code = 0;
    if (MessageTransport::ParseStatusField(text, length, &mode, &code) &&
        (mode < OPCM_MODE_FILE_ERROR || mode > OPCM_MODE_STOPPED_BUSY))
        std::abort();

    OSKAN_PCODE_MACHINE_STATE state{};
    MirelDebuggee::ParsePcmState(text, length, &state);
    return 0;
}
