// Creates Mirel's device object by ProgID through the installed headers and
// library, asks it for its interfaces and runs the service loop once: what
// every host does first.
#include <cstdio>

#include "Mirel/MirelEvents.h"
#include "Mirel/MirelInterfaces.h"
#include "Mirel/MirelTypes.h"
#include "winport/com/objbase.h"
#include "winport/com/ocidl.h"
#include "winport/loop/ServiceLoop.h"

namespace {

int Fail(const char* what, HRESULT hr) {
    std::fprintf(stderr, "install_host: %s failed: 0x%08X\n", what, static_cast<unsigned>(hr));
    return 1;
}

}  // namespace

int main() {
    CLSID clsid{};
    HRESULT hr = CLSIDFromProgID(u"Mirel.UdpDevice", &clsid);
    if (FAILED(hr))
        return Fail("CLSIDFromProgID", hr);
    ComPtr<ISkConnection> connection;
    hr = CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_ISkConnection,
                          reinterpret_cast<void**>(connection.GetAddressOf()));
    if (FAILED(hr))
        return Fail("CoCreateInstance", hr);
    ComPtr<IConnectionPointContainer> container;
    hr = connection->QueryInterface(IID_IConnectionPointContainer,
                                    reinterpret_cast<void**>(container.GetAddressOf()));
    if (FAILED(hr))
        return Fail("QueryInterface(IConnectionPointContainer)", hr);
    ComPtr<ISkLoader> loader;
    hr = connection->QueryInterface(IID_ISkLoader, reinterpret_cast<void**>(loader.GetAddressOf()));
    if (FAILED(hr))
        return Fail("QueryInterface(ISkLoader)", hr);
    static_assert(OLF_FIXED_FIRMWARE == 8 && OPCM_MODE_STOPPED_BUSY == 4);
    winport::ServiceLoop::Current().Dispatch();
    std::printf("install_host: created Mirel.UdpDevice from %s\n", OSKAN_MIREL_LIBRARY);
    return 0;
}
