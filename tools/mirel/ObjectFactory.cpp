#include "tools/mirel/ObjectFactory.h"

#include "winport/automation/oleauto.h"
#include "winport/com/objbase.h"
#include "winport/registry/registry.h"

namespace mirel {

HRESULT ObjectFactory::Create(const char16_t* progID, REFIID riid, void** ppv, std::string* error) {
    const std::string name = winport::Utf16ToAnsi(progID);
    CLSID clsid{};
    HRESULT hr = CLSIDFromProgID(progID, &clsid);
    if (SUCCEEDED(hr))
        hr = CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, riid, ppv);
    if (SUCCEEDED(hr))
        return hr;
    if (hr == CO_E_CLASSSTRING || hr == REGDB_E_CLASSNOTREG) {
        *error = name + " is not registered in " + winport::RegistryPath() +
                 "; register libMirel.so first: regsvr PATH/libMirel.so";
    } else {
        *error = "cannot create " + name + ": " + winport::ErrorText(static_cast<uint32_t>(hr)) + " (" +
                 winport::LastActivationError() + "); registering libMirel.so again with regsvr may help";
    }
    return hr;
}

}  // namespace mirel
