#include "winport/base/debugout.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace winport {

namespace {

DebugOutputListener g_listener = nullptr;
void* g_listenerUser = nullptr;

bool EnvironmentWantsOutput() {
    // Read once: the environment does not change under a running process.
    static const bool wanted = [] {
        const char* value = std::getenv("OSKAN_DEBUG_OUTPUT");
        return value && std::strcmp(value, "1") == 0;
    }();
    return wanted;
}

}  // namespace

DebugOutputListener SetDebugOutputListener(DebugOutputListener listener, void* user) {
    DebugOutputListener previous = g_listener;
    g_listener = listener;
    g_listenerUser = user;
    return previous;
}

bool IsDebugOutputWanted() {
    return g_listener != nullptr || EnvironmentWantsOutput();
}

}  // namespace winport

void OutputDebugStringA(const char* text) {
    if (!text)
        return;
    if (winport::g_listener)
        winport::g_listener(text, winport::g_listenerUser);
    if (winport::EnvironmentWantsOutput())
        std::fputs(text, stderr);
}
