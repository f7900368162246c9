#include "common/objects/SkTrace.h"

#include <cstdio>

#include "Mirel/MirelEvents.h"
#include "common/objects/SkEventFiring.h"

namespace {

// The length of text with an incomplete multi-byte sequence at its end left
// off.
size_t WholeCharactersLength(const char* text, size_t length) {
    size_t start = length;
    // Back over up to three continuation bytes to the lead byte.
    while (start > 0 && length - start < 3 && (static_cast<unsigned char>(text[start - 1]) & 0xC0) == 0x80) {
        --start;
    }
    if (start == 0) {
        return length;
    }
    const auto lead = static_cast<unsigned char>(text[start - 1]);
    size_t needed;
    if (lead >= 0xF0) {
        needed = 4;
    } else if (lead >= 0xE0) {
        needed = 3;
    } else if (lead >= 0xC0) {
        needed = 2;
    } else {
        return length;
    }
    const size_t present = length - (start - 1);
    return present < needed ? start - 1 : length;
}

}  // namespace

void SkFireTrace(SkConnectionPoint& point, int nLevel, const char* pszText) {
    if (point.ConnectionCount() == 0) {
        return;
    }
    const SkEventArg args[] = {SkEventArg(static_cast<LONG>(nLevel)), SkEventArg(pszText ? pszText : "")};
    SkFireDispatchEvent(point, DISPID_OnTrace, args, 2);
}

void SkFireTraceF(SkConnectionPoint& point, int nLevel, const char* pszFormat, ...) {
    va_list args;
    va_start(args, pszFormat);
    SkFireTraceV(point, nLevel, pszFormat, args);
    va_end(args);
}

void SkFireTraceV(SkConnectionPoint& point, int nLevel, const char* pszFormat, va_list args) {
    if (point.ConnectionCount() == 0) {
        return;
    }
    char buffer[SK_TRACE_BUFFER_CHARS + 1];
    const int written = std::vsnprintf(buffer, sizeof(buffer), pszFormat ? pszFormat : "", args);
    if (written < 0) {
        buffer[0] = '\0';
    } else if (static_cast<size_t>(written) > SK_TRACE_BUFFER_CHARS) {
        buffer[WholeCharactersLength(buffer, SK_TRACE_BUFFER_CHARS)] = '\0';
    }
    SkFireTrace(point, nLevel, buffer);
}
