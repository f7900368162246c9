#include "Mirel/MirelModule.h"

#include "Mirel/MirelInterfaces.h"
#include "Mirel/MirelUdpRefresh.h"
#include "Mirel/mireludpdevice.h"
#include "winport/com/ComEntry.h"

namespace {

// The registry scripts of the two creatable classes.
constexpr char kMirelUdpDeviceScript[] = R"(HKCR
{
    Mirel.UdpDevice.1 = s 'MirelUdpDevice Class'
    {
        CLSID = s '{EC32CBBA-6B33-4A61-8839-86FB2A857F37}'
    }
    Mirel.UdpDevice = s 'MirelUdpDevice Class'
    {
        CLSID = s '{EC32CBBA-6B33-4A61-8839-86FB2A857F37}'
        CurVer = s 'Mirel.UdpDevice.1'
    }
    NoRemove CLSID
    {
        ForceRemove {EC32CBBA-6B33-4A61-8839-86FB2A857F37} = s 'MirelUdpDevice Class'
        {
            ProgID = s 'Mirel.UdpDevice.1'
            VersionIndependentProgID = s 'Mirel.UdpDevice'
            ForceRemove 'Programmable'
            InprocServer32 = s '%MODULE%'
            {
                val ThreadingModel = s 'Apartment'
            }
            'TypeLib' = s '{EDD4E586-0DBA-4A9D-A87B-0B699395964F}'
        }
    }
}
)";

constexpr char kMirelUdpRefreshScript[] = R"(HKCR
{
    Mirel.UdpRefresh.1 = s 'MirelUdpRefresh Class'
    {
        CLSID = s '{7B4C2E0F-C81F-4E66-BA72-4FB9B45B06E3}'
    }
    Mirel.UdpRefresh = s 'MirelUdpRefresh Class'
    {
        CLSID = s '{7B4C2E0F-C81F-4E66-BA72-4FB9B45B06E3}'
        CurVer = s 'Mirel.UdpRefresh.1'
    }
    NoRemove CLSID
    {
        ForceRemove {7B4C2E0F-C81F-4E66-BA72-4FB9B45B06E3} = s 'MirelUdpRefresh Class'
        {
            ProgID = s 'Mirel.UdpRefresh.1'
            VersionIndependentProgID = s 'Mirel.UdpRefresh'
            ForceRemove 'Programmable'
            InprocServer32 = s '%MODULE%'
            {
                val ThreadingModel = s 'Apartment'
            }
            'TypeLib' = s '{EDD4E586-0DBA-4A9D-A87B-0B699395964F}'
        }
    }
}
)";

// Out of memory while creating an object is E_OUTOFMEMORY.
HRESULT CreateMirelUdpDevice(IUnknown* outer, REFIID riid, void** ppv) {
    return winport::ComEntry([&] { return CMirelUdpDevice::CreateInstance(outer, riid, ppv); });
}

HRESULT CreateMirelUdpRefresh(IUnknown* outer, REFIID riid, void** ppv) {
    return winport::ComEntry([&] { return CMirelUdpRefresh::CreateInstance(outer, riid, ppv); });
}

constexpr winport::ComClassEntry kClasses[] = {
    {&CLSID_MirelUdpDevice, &CreateMirelUdpDevice, kMirelUdpDeviceScript},
    {&CLSID_MirelUdpRefresh, &CreateMirelUdpRefresh, kMirelUdpRefreshScript},
};

}  // namespace

winport::ComModule& MirelModule() {
    static winport::ComModule module(kClasses, std::size(kClasses), LIBID_MIRELLib, 1, 0);
    return module;
}
