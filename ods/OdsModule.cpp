#include "ods/OdsModule.h"

#include "ods/OdsInterfaces.h"
#include "ods/OdsSerialLoader.h"
#include "ods/OdsUdpDevice.h"
#include "ods/OdsUdpRefresh.h"
#include "winport/com/ComEntry.h"

namespace {

constexpr char kOdsUdpRefreshScript[] =
    ODS_CLASS_SCRIPT("ods.udprefresh", "OdsUdpRefresh Class", "{BD50048A-43CE-4C61-A3AE-7623821974D6}");
constexpr char kOdsUdpDeviceScript[] =
    ODS_CLASS_SCRIPT("ods.udpdevice", "OdsUdpDevice Class", "{6759C80B-C355-41BB-AA5B-35D8A41292FF}");
constexpr char kOdsUdpBcastDeviceScript[] = ODS_CLASS_SCRIPT("ods.udpbcastdevice", "OdsUdpBcastDevice Class",
                                                             "{813900F5-C9B3-4A34-8C8C-86485A0D4ABF}");
constexpr char kOdsSerialLoaderScript[] =
    ODS_CLASS_SCRIPT("ods.serialloader", "OdsSerialLoader Class", "{3CFC89DB-B264-4EA6-8D5D-54B4B665551E}");

// Out of memory while creating an object is E_OUTOFMEMORY.
HRESULT CreateOdsUdpRefresh(IUnknown* outer, REFIID riid, void** ppv) {
    return winport::ComEntry([&] { return COdsUdpRefresh::CreateInstance(outer, riid, ppv); });
}

HRESULT CreateOdsUdpDevice(IUnknown* outer, REFIID riid, void** ppv) {
    return winport::ComEntry(
        [&] { return COdsUdpDevice::CreateInstance(OdsAddressing::ByIp, outer, riid, ppv); });
}

HRESULT CreateOdsUdpBcastDevice(IUnknown* outer, REFIID riid, void** ppv) {
    return winport::ComEntry(
        [&] { return COdsUdpDevice::CreateInstance(OdsAddressing::ByMac, outer, riid, ppv); });
}

HRESULT CreateOdsSerialLoader(IUnknown* outer, REFIID riid, void** ppv) {
    return winport::ComEntry([&] { return COdsSerialLoader::CreateInstance(outer, riid, ppv); });
}

constexpr winport::ComClassEntry kClasses[] = {
    {&CLSID_OdsUdpRefresh, &CreateOdsUdpRefresh, kOdsUdpRefreshScript},
    {&CLSID_OdsUdpDevice, &CreateOdsUdpDevice, kOdsUdpDeviceScript},
    {&CLSID_OdsUdpBcastDevice, &CreateOdsUdpBcastDevice, kOdsUdpBcastDeviceScript},
    {&CLSID_OdsSerialLoader, &CreateOdsSerialLoader, kOdsSerialLoaderScript},
};

}  // namespace

winport::ComModule& OdsModule() {
    static winport::ComModule module(kClasses, std::size(kClasses), LIBID_ODSLib, 1, 0);
    return module;
}
