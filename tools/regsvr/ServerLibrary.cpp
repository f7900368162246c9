#include "tools/regsvr/ServerLibrary.h"

#include <dlfcn.h>

namespace regsvr {

ServerLibrary::~ServerLibrary() {
    if (m_handle)
        dlclose(m_handle);
}

bool ServerLibrary::Load(const std::string& path, std::string* error) {
    m_handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (m_handle)
        return true;
    const char* message = dlerror();
    *error = message ? message : "unknown error";
    return false;
}

bool ServerLibrary::Call(const char* name, HRESULT* result) const {
    auto function = reinterpret_cast<HRESULT (*)()>(m_handle ? dlsym(m_handle, name) : nullptr);
    if (!function)
        return false;
    *result = function();
    return true;
}

}  // namespace regsvr
