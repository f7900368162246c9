#pragma once
// The system debugger output. A line goes to stderr only when the environment
// sets OSKAN_DEBUG_OUTPUT=1, as a debugger would show it; a listener (tests,
// tools) sees every line either way.

namespace winport {

using DebugOutputListener = void (*)(const char* text, void* user);

// Installs a listener for this process (null removes it); returns the previous.
DebugOutputListener SetDebugOutputListener(DebugOutputListener listener, void* user);

// True when a line would be seen by anybody, so a caller can skip formatting.
bool IsDebugOutputWanted();

}  // namespace winport

void OutputDebugStringA(const char* text);
