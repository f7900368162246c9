// The version record read from a library file, and files that hold none.
#include <gtest/gtest.h>

#include <dlfcn.h>

#include <fstream>
#include <iterator>

#include "tests/support/TempFolder.h"
#include "winport/automation/oleauto.h"
#include "winport/base/versioninfo.h"

namespace {

TEST(VersionInfo, ReadsTheRecordOfALibraryWithoutLoadingIt) {
    winport::FileVersionInfo info;
    std::string error;
    ASSERT_TRUE(winport::ReadFileVersionInfo(SAMPLE_SERVER_PATH, &info, &error)) << error;
    EXPECT_EQ(info.fileVersion[0], 2);
    EXPECT_EQ(info.fileVersion[3], 5);
    EXPECT_EQ(info.productVersion[1], 3);
    EXPECT_EQ(info.fileType, winport::VFT_DLL);
    EXPECT_EQ(info.language, "040904B0");
    ASSERT_EQ(info.strings.size(), 2u);
    ASSERT_NE(info.Find("FileDescription"), nullptr);
    EXPECT_EQ(*info.Find("FileDescription"), "Sample Module");
    ASSERT_NE(info.Find("OLESelfRegister"), nullptr);
    EXPECT_EQ(*info.Find("OLESelfRegister"), "");
    EXPECT_EQ(info.Find("ProductName"), nullptr);
    void* handle = dlopen(SAMPLE_SERVER_PATH, RTLD_NOW | RTLD_NOLOAD);
    EXPECT_EQ(handle, nullptr);
    if (handle)
        dlclose(handle);
}

TEST(VersionInfo, FilesWithoutARecordAreReportedAsSuch) {
    const oskan::test::TempFolder folder("oskan-versioninfo");
    winport::FileVersionInfo info;
    std::string error;
    EXPECT_FALSE(winport::ReadFileVersionInfo(folder.File("missing.so"), &info, &error));
    EXPECT_NE(error.find("cannot open"), std::string::npos);

    const std::string text =
        folder.Write("text.so", "just some text, long enough to hold an ELF header's worth of bytes......");
    EXPECT_FALSE(winport::ReadFileVersionInfo(text, &info, &error));
    EXPECT_EQ(error, "not an ELF file");

    Dl_info self{};
    dladdr(reinterpret_cast<void*>(&SysAllocString), &self);
    EXPECT_FALSE(winport::ReadFileVersionInfo(self.dli_fname, &info, &error));
    EXPECT_EQ(error, "the file carries no version record");

    // The library cut short: its section table is gone.
    std::ifstream in(SAMPLE_SERVER_PATH, std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const std::string cut = folder.Write("cut.so", bytes.substr(0, bytes.size() / 2));
    EXPECT_FALSE(winport::ReadFileVersionInfo(cut, &info, &error));
    EXPECT_FALSE(error.empty());
}

}  // namespace
