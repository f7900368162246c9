#pragma once
// The trace channel _ISkTrace: a trace line is (level, ANSI text); it reaches
// the sinks as OnTrace(nLevel, bstrText), with the text converted to UTF-16,
// like any dispatch event.

#include <cstdarg>
#include <cstddef>

#include "common/objects/SkConnectionPoint.h"

// The formatting variants print into a buffer of this many characters; longer
// output is cut to it.
constexpr size_t SK_TRACE_BUFFER_CHARS = 260;

// Fires OnTrace on an _ISkTrace connection point with the whole text.
void SkFireTrace(SkConnectionPoint& point, int nLevel, const char* pszText);

// Formats printf-style into the 260-character buffer first. A cut never leaves
// half a multi-byte character at the end.
void SkFireTraceF(SkConnectionPoint& point, int nLevel, const char* pszFormat, ...)
    __attribute__((format(printf, 3, 4)));
void SkFireTraceV(SkConnectionPoint& point, int nLevel, const char* pszFormat, va_list args)
    __attribute__((format(printf, 3, 0)));
