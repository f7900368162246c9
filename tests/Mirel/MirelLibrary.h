#pragma once
// The built libMirel.so as tests reach it: registered into the test's own
// registry by its DllRegisterServer, then created through activation like any
// host would; or loaded directly, without registration.

#include <dlfcn.h>

#include "winport/com/com.h"

namespace oskan::test {

inline const char* MirelLibraryPath() {
    return MIREL_LIBRARY_PATH;
}

// Runs one export, with the library loaded only for the call.
inline HRESULT RunMirelExport(const char* name) {
    void* handle = dlopen(MIREL_LIBRARY_PATH, RTLD_NOW | RTLD_LOCAL);
    if (!handle)
        return E_FAIL;
    auto function = reinterpret_cast<HRESULT (*)()>(dlsym(handle, name));
    HRESULT hr = function ? function() : E_NOTIMPL;
    dlclose(handle);
    return hr;
}

inline bool MirelIsLoaded() {
    void* handle = dlopen(MIREL_LIBRARY_PATH, RTLD_NOW | RTLD_NOLOAD);
    if (handle)
        dlclose(handle);
    return handle != nullptr;
}

}  // namespace oskan::test
