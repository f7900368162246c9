#pragma once
// Creates the components' objects as any host does: by ProgID, through the registry and
// the component library registered there (regsvr registers it).

#include <string>

#include "winport/com/com.h"

namespace mirel {

inline constexpr char16_t kRefreshProgID[] = u"Mirel.UdpRefresh";
inline constexpr char16_t kDeviceProgID[] = u"Mirel.UdpDevice";
inline constexpr char16_t kServerRefreshProgID[] = u"ods.udprefresh";

class ObjectFactory {
public:
    // The new object's riid interface in *ppv; on failure a message for the
    // user in *error, naming regsvr when the class is not registered.
    static HRESULT Create(const char16_t* progID, REFIID riid, void** ppv, std::string* error);
};

}  // namespace mirel
