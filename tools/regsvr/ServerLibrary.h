#pragma once
// A self-registering component library, loaded for the time of one
// registration, and its exports.

#include <string>

#include "winport/com/com.h"

namespace regsvr {

class ServerLibrary {
public:
    ServerLibrary() = default;
    ~ServerLibrary();
    ServerLibrary(const ServerLibrary&) = delete;
    ServerLibrary& operator=(const ServerLibrary&) = delete;

    // Loads the library with all its symbols resolved; false with the
    // loader's message in *error.
    bool Load(const std::string& path, std::string* error);
    // Calls an HRESULT (void) export; false when the library has none.
    bool Call(const char* name, HRESULT* result) const;

private:
    void* m_handle = nullptr;
};

}  // namespace regsvr
