// regsvr: registering and unregistering libraries, its messages and exit
// codes, and the version record it prints.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "tests/support/TempRegistry.h"
#include "tools/regsvr/RegsvrCommand.h"
#include "winport/automation/oleauto.h"
#include "winport/com/objbase.h"

namespace {

struct Outcome {
    int code;
    std::string out;
    std::string err;
};

Outcome Regsvr(std::vector<std::string> args) {
    std::ostringstream out, err;
    regsvr::RegsvrCommand command(out, err);
    CLI::App app("regsvr");
    command.Register(app);
    args.insert(args.begin(), "regsvr");
    std::vector<const char*> argv;
    for (const auto& arg : args)
        argv.push_back(arg.c_str());
    try {
        app.parse(static_cast<int>(argv.size()), const_cast<char**>(argv.data()));
    } catch (const CLI::ParseError&) {
        return {regsvr::kExitArguments, out.str(), err.str()};
    }
    return {command.Run(), out.str(), err.str()};
}

std::string WinportPath() {
    Dl_info info{};
    dladdr(reinterpret_cast<void*>(&SysAllocString), &info);
    return info.dli_fname;
}

class RegsvrTest : public ::testing::Test {
protected:
    oskan::test::TempRegistry registry;
};

TEST_F(RegsvrTest, RegistersAndUnregistersALibrary) {
    Outcome registered = Regsvr({MIREL_LIBRARY_PATH});
    EXPECT_EQ(registered.code, regsvr::kExitOk) << registered.err;
    EXPECT_EQ(registered.out, std::string("DllRegisterServer in ") + MIREL_LIBRARY_PATH +
                                  " succeeded (registry " + registry.Path() + ").\n");
    CLSID clsid{};
    EXPECT_EQ(CLSIDFromProgID(u"Mirel.UdpDevice", &clsid), S_OK);

    Outcome unregistered = Regsvr({"-u", "-s", MIREL_LIBRARY_PATH});
    EXPECT_EQ(unregistered.code, regsvr::kExitOk) << unregistered.err;
    EXPECT_EQ(unregistered.out, "");
    EXPECT_EQ(CLSIDFromProgID(u"Mirel.UdpDevice", &clsid), CO_E_CLASSSTRING);
}

TEST_F(RegsvrTest, EachFailureHasItsMessageAndCode) {
    Outcome missing = Regsvr({"/nonexistent/libNothing.so"});
    EXPECT_EQ(missing.code, regsvr::kExitLoad);
    EXPECT_NE(missing.err.find("regsvr: cannot load /nonexistent/libNothing.so:"), std::string::npos)
        << missing.err;

    Outcome plain = Regsvr({WinportPath()});
    EXPECT_EQ(plain.code, regsvr::kExitEntryPoint);
    EXPECT_NE(plain.err.find("is not a self-registering library: it has no DllRegisterServer entry point"),
              std::string::npos)
        << plain.err;

    Outcome failing = Regsvr({FAILING_SERVER_PATH});
    EXPECT_EQ(failing.code, regsvr::kExitFailed);
    EXPECT_NE(failing.err.find("DllRegisterServer in " FAILING_SERVER_PATH " failed with 0x80040201"),
              std::string::npos)
        << failing.err;

    // With several libraries each is tried; the first failure decides the code.
    Outcome mixed = Regsvr({"/nonexistent/libNothing.so", MIREL_LIBRARY_PATH, FAILING_SERVER_PATH});
    EXPECT_EQ(mixed.code, regsvr::kExitLoad);
    EXPECT_NE(mixed.out.find("succeeded"), std::string::npos);
    EXPECT_EQ(Regsvr({}).code, regsvr::kExitArguments);
}

TEST_F(RegsvrTest, AMalformedRegistryStopsItBeforeAnyLibraryIsTouched) {
    registry.Write("Windows Registry Editor Version 5.00\n\n[HKEY_CLASSES_ROOT\\Broken\n");
    Outcome run = Regsvr({MIREL_LIBRARY_PATH});
    EXPECT_EQ(run.code, regsvr::kExitRegistry);
    EXPECT_NE(run.err.find("regsvr: the registry cannot be used: " + registry.Path() + ": line 3:"),
              std::string::npos)
        << run.err;
    EXPECT_EQ(registry.Text(), "Windows Registry Editor Version 5.00\n\n[HKEY_CLASSES_ROOT\\Broken\n");
}

TEST_F(RegsvrTest, PrintsTheVersionRecordOfTheLibrary) {
    Outcome run = Regsvr({"--version-info", MIREL_LIBRARY_PATH});
    EXPECT_EQ(run.code, regsvr::kExitOk) << run.err;
    for (const char* line :
         {"  file version      1.0.0.1\n", "  product version   1.0.0.1\n", "  file type         library\n",
          "  language          040904B0\n", "  FileDescription   Mirel Module\n",
          "  ProductName       Mirel Module\n", "  InternalName      Mirel\n",
          "  OriginalFilename  Mirel.DLL\n", "  FileVersion       1, 0, 0, 1\n",
          "  ProductVersion    1, 0, 0, 1\n", "  OLESelfRegister   (empty)\n"})
        EXPECT_NE(run.out.find(line), std::string::npos) << line << "in\n" << run.out;
    EXPECT_EQ(registry.Text(), "");  // nothing registered

    // Texts of the record are escaped: they may come from any file.
    Outcome hostile = Regsvr({"--version-info", FAILING_SERVER_PATH});
    EXPECT_EQ(hostile.code, regsvr::kExitOk) << hostile.err;
    for (const char* line :
         {"  FileDescription   \\x1b]0;owned\\x07Failing\n", "  ProductName       \\x1b[2K\\x0dFake\n",
          "  InternalName      \\xc2\\x9b31mred\n"})
        EXPECT_NE(hostile.out.find(line), std::string::npos) << line << "in\n" << hostile.out;
    EXPECT_EQ(hostile.out.find('\x1b'), std::string::npos);
    EXPECT_EQ(hostile.out.find('\r'), std::string::npos);
    EXPECT_EQ(hostile.out.find("\xc2\x9b"), std::string::npos);

    Outcome none = Regsvr({"--version-info", WinportPath()});
    EXPECT_EQ(none.code, regsvr::kExitLoad);
    EXPECT_NE(none.err.find("the file carries no version record"), std::string::npos);
}

}  // namespace
