// mirel creates its objects by ProgID: with the library registered it works
// as before, and without registration it says what to do.
#include <gtest/gtest.h>

#include <sstream>

#include "Mirel/MirelInterfaces.h"
#include "tests/support/TempRegistry.h"
#include "tools/mirel/DeviceCommand.h"
#include "tools/mirel/ObjectFactory.h"
#include "winport/com/objbase.h"

namespace {

TEST(ObjectFactory, CreatesTheRegisteredClasses) {
    // The build tree's registry, where the build registered libMirel.so.
    ComPtr<ISkRefresh> refresh;
    std::string problem;
    ASSERT_EQ(mirel::ObjectFactory::Create(mirel::kRefreshProgID, IID_ISkRefresh,
                                           refresh.ReleaseAndGetVoidAddressOf(), &problem),
              S_OK)
        << problem;
    ComPtr<ISkConnection> device;
    ASSERT_EQ(mirel::ObjectFactory::Create(mirel::kDeviceProgID, IID_ISkConnection,
                                           device.ReleaseAndGetVoidAddressOf(), &problem),
              S_OK)
        << problem;
    EXPECT_EQ(problem, "");
}

TEST(ObjectFactory, AnUnregisteredClassNamesRegsvr) {
    oskan::test::TempRegistry empty;
    ComPtr<ISkConnection> device;
    std::string problem;
    EXPECT_EQ(mirel::ObjectFactory::Create(mirel::kDeviceProgID, IID_ISkConnection,
                                           device.ReleaseAndGetVoidAddressOf(), &problem),
              CO_E_CLASSSTRING);
    EXPECT_FALSE(device);
    EXPECT_EQ(problem, "Mirel.UdpDevice is not registered in " + empty.Path() +
                           "; register libMirel.so first: regsvr PATH/libMirel.so");

    std::ostringstream out, err;
    mirel::DeviceCommandOptions options;
    options.mac = "2.0.0.1.2.3";
    options.text = "B";
    EXPECT_EQ(mirel::RunDeviceCommand(options, out, err), mirel::kExitUsage);
    EXPECT_NE(err.str().find("regsvr"), std::string::npos) << err.str();
    EXPECT_EQ(out.str(), "");
}

TEST(ObjectFactory, AClassWhoseLibraryHasGoneSaysSo) {
    oskan::test::TempRegistry registry;
    registry.Write(
        "Windows Registry Editor Version 5.00\n\n"
        "[HKEY_CLASSES_ROOT\\Mirel.UdpRefresh\\CLSID]\n@=\"{7B4C2E0F-C81F-4E66-BA72-4FB9B45B06E3}\"\n\n"
        "[HKEY_CLASSES_ROOT\\CLSID\\{7B4C2E0F-C81F-4E66-BA72-4FB9B45B06E3}\\InprocServer32]\n"
        "@=\"/nonexistent/libMirel.so.1\"\n");
    ComPtr<ISkRefresh> refresh;
    std::string problem;
    EXPECT_EQ(mirel::ObjectFactory::Create(mirel::kRefreshProgID, IID_ISkRefresh,
                                           refresh.ReleaseAndGetVoidAddressOf(), &problem),
              CO_E_DLLNOTFOUND);
    EXPECT_NE(problem.find("cannot create Mirel.UdpRefresh"), std::string::npos) << problem;
    EXPECT_NE(problem.find("/nonexistent/libMirel.so.1"), std::string::npos) << problem;
    EXPECT_NE(problem.find("regsvr"), std::string::npos) << problem;
}

}  // namespace
