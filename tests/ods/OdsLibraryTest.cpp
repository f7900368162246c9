// libods.so as a component library: its registration (the classes' scripts,
// the type library), registering twice and unregistering, its lock count and
// unloading, and that it stands alone, without libMirel.so.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "Mirel/MirelEvents.h"
#include "ods/OdsInterfaces.h"
#include "tests/support/TempRegistry.h"
#include "winport/automation/typelib.h"
#include "winport/com/objbase.h"
#include "winport/registry/registry.h"

namespace {

HRESULT RunExport(const char* name) {
    void* handle = dlopen(ODS_LIBRARY_PATH, RTLD_NOW | RTLD_LOCAL);
    if (!handle)
        return E_FAIL;
    auto function = reinterpret_cast<HRESULT (*)()>(dlsym(handle, name));
    const HRESULT hr = function ? function() : E_NOTIMPL;
    dlclose(handle);
    return hr;
}

bool IsLoaded(const char* path) {
    void* handle = dlopen(path, RTLD_NOW | RTLD_NOLOAD);
    if (handle)
        dlclose(handle);
    return handle != nullptr;
}

std::string Read(const std::u16string& key, const char16_t* name = nullptr) {
    std::u16string text;
    return winport::RegReadString(HKEY_CLASSES_ROOT, key.c_str(), name, &text) == ERROR_SUCCESS
               ? winport::Utf16ToAnsi(text)
               : "<none>";
}

class OdsLibraryTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(RunExport("DllRegisterServer"), S_OK); }

    oskan::test::TempRegistry registry;
};

TEST_F(OdsLibraryTest, RegistrationWritesEveryClassAndTheTypeLibrary) {
    struct Class {
        const char16_t* progID;
        const char* description;
        const char* clsid;
    } classes[] = {
        {u"ods.udprefresh", "OdsUdpRefresh Class", "{BD50048A-43CE-4C61-A3AE-7623821974D6}"},
        {u"ods.udpdevice", "OdsUdpDevice Class", "{6759C80B-C355-41BB-AA5B-35D8A41292FF}"},
        {u"ods.udpbcastdevice", "OdsUdpBcastDevice Class", "{813900F5-C9B3-4A34-8C8C-86485A0D4ABF}"},
        {u"ods.serialloader", "OdsSerialLoader Class", "{3CFC89DB-B264-4EA6-8D5D-54B4B665551E}"},
    };
    for (const Class& c : classes) {
        const std::u16string progID = c.progID;
        const std::u16string versioned = progID + u".1";
        const std::u16string clsid = u"CLSID\\" + winport::AnsiToUtf16(c.clsid);
        EXPECT_EQ(Read(versioned + u"\\CLSID"), c.clsid);
        EXPECT_EQ(Read(progID), c.description);
        EXPECT_EQ(Read(progID + u"\\CurVer"), winport::Utf16ToAnsi(versioned));
        EXPECT_EQ(Read(clsid + u"\\ProgID"), winport::Utf16ToAnsi(versioned));
        EXPECT_EQ(Read(clsid + u"\\VersionIndependentProgID"), winport::Utf16ToAnsi(progID));
        EXPECT_EQ(Read(clsid + u"\\InprocServer32"), ODS_LIBRARY_PATH);
        EXPECT_EQ(Read(clsid + u"\\InprocServer32", u"ThreadingModel"), "Apartment");
        EXPECT_EQ(Read(clsid + u"\\TypeLib"), "{508E2EFD-E126-481A-87E0-AACDFD277A0C}");
    }
    ComPtr<ITypeLib> library;
    ASSERT_EQ(LoadRegTypeLib(LIBID_ODSLib, 1, 0, 0, library.ReleaseAndGetAddressOf()), S_OK);
    ComPtr<ITypeInfo> info;
    ASSERT_EQ(library->GetTypeInfoOfGuid(IID_IFixedFirmwareDeviceInfo, info.ReleaseAndGetAddressOf()), S_OK);
    EXPECT_EQ(library->GetTypeInfoOfGuid(CLSID_OdsSerialLoader, info.ReleaseAndGetAddressOf()), S_OK);
    // The shared interfaces are described with the same identifiers.
    for (const IID* iid :
         {&IID_ISkRefresh, &IID_ISkConnection, &IID_ISkCmdTarget, &IID_ISkLoader, &DIID__ISkRefreshEvents,
          &DIID__ISkConnectionEvents, &DIID__ISkCmdTargetEvents, &DIID__ISkLoaderEvents, &DIID__ISkTrace})
        EXPECT_EQ(library->GetTypeInfoOfGuid(*iid, info.ReleaseAndGetAddressOf()), S_OK);
    EXPECT_EQ(library->GetTypeInfoOfGuid(IID_ISkDebuggee, info.ReleaseAndGetAddressOf()),
              TYPE_E_ELEMENTNOTFOUND);
}

TEST_F(OdsLibraryTest, RegisteringTwiceLeavesOneSetAndUnregisteringRemovesIt) {
    const std::string once = registry.Text();
    ASSERT_EQ(RunExport("DllRegisterServer"), S_OK);
    EXPECT_EQ(registry.Text(), once);
    ASSERT_EQ(RunExport("DllUnregisterServer"), S_OK);
    CLSID clsid{};
    EXPECT_EQ(CLSIDFromProgID(u"ods.udpdevice", &clsid), CO_E_CLASSSTRING);
    EXPECT_EQ(CLSIDFromProgID(u"ods.udprefresh.1", &clsid), CO_E_CLASSSTRING);
    EXPECT_EQ(registry.Text().find("6759C80B"), std::string::npos) << registry.Text();
}

TEST_F(OdsLibraryTest, TheLibraryStandsAloneAndUnloadsWhenNothingIsHeld) {
    CLSID clsid{};
    ASSERT_EQ(CLSIDFromProgID(u"ods.udpbcastdevice", &clsid), S_OK);
    ComPtr<ISkConnection> device;
    ASSERT_EQ(CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_ISkConnection,
                               device.ReleaseAndGetVoidAddressOf()),
              S_OK);
    EXPECT_TRUE(IsLoaded(ODS_LIBRARY_PATH));
    // Its objects answer the shared interfaces, and only those.
    ComPtr<IUnknown> part;
    EXPECT_EQ(device->QueryInterface(IID_ISkLoader, part.ReleaseAndGetVoidAddressOf()), S_OK);
    EXPECT_EQ(device->QueryInterface(IID_ISkDebuggee, part.ReleaseAndGetVoidAddressOf()), E_NOINTERFACE);
    part.Reset();
    // No Mirel code came with it.
    std::ifstream maps("/proc/self/maps");
    const std::string mapped((std::istreambuf_iterator<char>(maps)), std::istreambuf_iterator<char>());
    EXPECT_EQ(mapped.find("libMirel"), std::string::npos);
    CoFreeUnusedLibraries();
    EXPECT_TRUE(IsLoaded(ODS_LIBRARY_PATH));
    device.Reset();
    CoFreeUnusedLibraries();
    EXPECT_FALSE(IsLoaded(ODS_LIBRARY_PATH));
}

}  // namespace
