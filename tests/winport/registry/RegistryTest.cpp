// The registry functions over their file: keys, values, deletion, handles,
// transactions, and what a bad file, a second writer or a crashed writer
// can and cannot do to it.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "tests/support/HostileFiles.h"
#include "tests/support/ScopedEnv.h"
#include "tests/support/TempRegistry.h"
#include "winport/automation/oleauto.h"
#include "winport/registry/RegistryTree.h"
#include "winport/registry/registry.h"

namespace {

using oskan::test::TempRegistry;

HKEY Create(HKEY parent, const char16_t* path, DWORD* disposition = nullptr) {
    HKEY key = nullptr;
    EXPECT_EQ(RegCreateKeyExW(parent, path, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr,
                              &key, disposition),
              ERROR_SUCCESS);
    return key;
}

LONG SetText(HKEY key, const char16_t* name, std::u16string_view text) {
    std::vector<BYTE> data = winport::registry::StringData(text);
    return RegSetValueExW(key, name, 0, REG_SZ, data.data(), static_cast<DWORD>(data.size()));
}

std::u16string ReadText(HKEY root, const char16_t* path, const char16_t* name, LONG* status = nullptr) {
    std::u16string text;
    LONG s = winport::RegReadString(root, path, name, &text);
    if (status)
        *status = s;
    return text;
}

ino_t Inode(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 ? st.st_ino : 0;
}

class RegistryTest : public ::testing::Test {
protected:
    TempRegistry m_registry;
};

TEST_F(RegistryTest, KeysAndValuesPersistInTheFileAndCompareWithoutCase) {
    DWORD disposition = 0;
    HKEY key = Create(HKEY_CLASSES_ROOT, u"Mirel.UdpDevice\\CLSID", &disposition);
    EXPECT_EQ(disposition, REG_CREATED_NEW_KEY);
    EXPECT_EQ(SetText(key, nullptr, u"{EC32CBBA-6B33-4A61-8839-86FB2A857F37}"), ERROR_SUCCESS);
    DWORD number = 7;
    EXPECT_EQ(RegSetValueExW(key, u"Count", 0, REG_DWORD, reinterpret_cast<BYTE*>(&number), 4),
              ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);

    EXPECT_NE(m_registry.Text().find("[HKEY_CLASSES_ROOT\\Mirel.UdpDevice\\CLSID]\n@=\"{EC32CBBA"),
              std::string::npos)
        << m_registry.Text();
    EXPECT_EQ(ReadText(HKEY_CLASSES_ROOT, u"MIREL.UDPDEVICE\\clsid", u""),
              u"{EC32CBBA-6B33-4A61-8839-86FB2A857F37}");

    HKEY again = Create(HKEY_CLASSES_ROOT, u"mirel.udpdevice\\Clsid", &disposition);
    EXPECT_EQ(disposition, REG_OPENED_EXISTING_KEY);
    DWORD type = 0, read = 0, size = sizeof read;
    EXPECT_EQ(RegQueryValueExW(again, u"COUNT", nullptr, &type, reinterpret_cast<BYTE*>(&read), &size),
              ERROR_SUCCESS);
    EXPECT_EQ(type, REG_DWORD);
    EXPECT_EQ(read, 7u);
    RegCloseKey(again);
}

TEST_F(RegistryTest, QueryReportsSizesAndShortBuffers) {
    HKEY key = Create(HKEY_CURRENT_USER, u"Software\\Oskan");
    ASSERT_EQ(SetText(key, u"Name", u"abc"), ERROR_SUCCESS);
    DWORD type = 0, size = 0;
    EXPECT_EQ(RegQueryValueExW(key, u"Name", nullptr, &type, nullptr, &size), ERROR_SUCCESS);
    EXPECT_EQ(size, 8u);  // three characters and the terminator
    BYTE small[4];
    size = sizeof small;
    EXPECT_EQ(RegQueryValueExW(key, u"Name", nullptr, &type, small, &size), ERROR_MORE_DATA);
    EXPECT_EQ(size, 8u);
    EXPECT_EQ(RegQueryValueExW(key, u"Name", nullptr, &type, small, nullptr), ERROR_INVALID_PARAMETER);
    RegCloseKey(key);
}

TEST_F(RegistryTest, MissingKeysValuesAndBadArgumentsAreReported) {
    HKEY key = nullptr;
    EXPECT_EQ(RegOpenKeyExW(HKEY_CLASSES_ROOT, u"Nowhere", 0, KEY_READ, &key), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegOpenKeyExW(HKEY_CLASSES_ROOT, u"\\Leading", 0, KEY_READ, &key), ERROR_BAD_PATHNAME);
    EXPECT_EQ(
        RegCreateKeyExW(HKEY_CLASSES_ROOT, u"A\\\\B", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
        ERROR_BAD_PATHNAME);
    EXPECT_EQ(RegCreateKeyExW(HKEY_CLASSES_ROOT, u"Line\nbreak", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                              nullptr),
              ERROR_INVALID_PARAMETER);
    std::u16string tooLong(256, u'x');
    EXPECT_EQ(RegCreateKeyExW(HKEY_CLASSES_ROOT, tooLong.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                              &key, nullptr),
              ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegCloseKey(reinterpret_cast<HKEY>(ULONG_PTR{0x1234567})), ERROR_INVALID_HANDLE);

    HKEY real = Create(HKEY_CLASSES_ROOT, u"Present");
    LONG status = 0;
    ReadText(HKEY_CLASSES_ROOT, u"Present", u"absent", &status);
    EXPECT_EQ(status, ERROR_FILE_NOT_FOUND);
    DWORD wrong = 1;
    EXPECT_EQ(RegSetValueExW(real, u"Short", 0, REG_DWORD, reinterpret_cast<BYTE*>(&wrong), 2),
              ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegDeleteValueW(real, u"absent"), ERROR_FILE_NOT_FOUND);
    RegCloseKey(real);
    EXPECT_EQ(m_registry.Text().find("Short"), std::string::npos);
}

TEST_F(RegistryTest, DeletingKeysAndUsingAHandleOfADeletedKey) {
    HKEY parent = Create(HKEY_CLASSES_ROOT, u"CLSID\\{A}");
    RegCloseKey(Create(HKEY_CLASSES_ROOT, u"CLSID\\{A}\\InprocServer32"));
    EXPECT_EQ(RegDeleteKeyW(HKEY_CLASSES_ROOT, u"CLSID\\{A}"), ERROR_ACCESS_DENIED);  // it has a subkey
    EXPECT_EQ(RegDeleteTreeW(HKEY_CLASSES_ROOT, u"CLSID\\{a}"), ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteTreeW(HKEY_CLASSES_ROOT, u"CLSID\\{A}"), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(SetText(parent, nullptr, u"x"), ERROR_KEY_DELETED);
    DWORD size = 0;
    EXPECT_EQ(RegQueryValueExW(parent, nullptr, nullptr, nullptr, nullptr, &size), ERROR_KEY_DELETED);
    RegCloseKey(parent);

    HKEY keep = Create(HKEY_CLASSES_ROOT, u"Keep");
    SetText(keep, u"v", u"1");
    RegCloseKey(Create(HKEY_CLASSES_ROOT, u"Keep\\Child"));
    EXPECT_EQ(RegDeleteTreeW(keep, nullptr), ERROR_SUCCESS);  // empties the key itself
    HKEY opened = nullptr;
    EXPECT_EQ(RegOpenKeyExW(HKEY_CLASSES_ROOT, u"Keep", 0, KEY_READ, &opened), ERROR_SUCCESS);
    EXPECT_EQ(RegOpenKeyExW(HKEY_CLASSES_ROOT, u"Keep\\Child", 0, KEY_READ, &opened), ERROR_FILE_NOT_FOUND);
    RegCloseKey(keep);
}

TEST_F(RegistryTest, SubkeysAreEnumeratedInNameOrder) {
    for (const char16_t* name : {u"b", u"C", u"a"})
        RegCloseKey(Create(HKEY_CLASSES_ROOT, (std::u16string(u"Enum\\") + name).c_str()));
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExW(HKEY_CLASSES_ROOT, u"Enum", 0, KEY_READ, &key), ERROR_SUCCESS);
    std::vector<std::u16string> names;
    WCHAR name[8];
    DWORD length = 8;
    for (DWORD i = 0;
         RegEnumKeyExW(key, i, name, &length, nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
         ++i, length = 8)
        names.emplace_back(name, length);
    EXPECT_EQ(names, (std::vector<std::u16string>{u"a", u"b", u"C"}));
    length = 1;
    EXPECT_EQ(RegEnumKeyExW(key, 0, name, &length, nullptr, nullptr, nullptr, nullptr), ERROR_MORE_DATA);
    length = 8;
    EXPECT_EQ(RegEnumKeyExW(key, 3, name, &length, nullptr, nullptr, nullptr, nullptr), ERROR_NO_MORE_ITEMS);
    RegCloseKey(key);
}

TEST_F(RegistryTest, ATransactionWritesOnceOnCommitAndNothingWithout) {
    winport::RegWriteString(HKEY_CLASSES_ROOT, u"Before", nullptr, u"0");
    std::string before = m_registry.Text();
    {
        winport::RegistryTransaction transaction;
        ASSERT_EQ(transaction.Status(), ERROR_SUCCESS);
        EXPECT_EQ(winport::RegWriteString(HKEY_CLASSES_ROOT, u"Inside", nullptr, u"1"), ERROR_SUCCESS);
        EXPECT_EQ(ReadText(HKEY_CLASSES_ROOT, u"Inside", nullptr), u"1");  // seen inside
        EXPECT_EQ(m_registry.Text(), before);                              // not yet in the file
        // Discarded.
    }
    EXPECT_EQ(m_registry.Text(), before);
    LONG status = 0;
    ReadText(HKEY_CLASSES_ROOT, u"Inside", nullptr, &status);
    EXPECT_EQ(status, ERROR_FILE_NOT_FOUND);
    {
        winport::RegistryTransaction outer;
        {
            winport::RegistryTransaction inner;  // joins the outer one
            winport::RegWriteString(HKEY_CLASSES_ROOT, u"Inner", nullptr, u"2");
            EXPECT_EQ(inner.Commit(), ERROR_SUCCESS);
        }
        EXPECT_EQ(m_registry.Text(), before);
        EXPECT_EQ(outer.Commit(), ERROR_SUCCESS);
    }
    EXPECT_EQ(ReadText(HKEY_CLASSES_ROOT, u"Inner", nullptr), u"2");
    EXPECT_NE(m_registry.Text().find("[HKEY_CLASSES_ROOT\\Inner]"), std::string::npos);
}

TEST_F(RegistryTest, AMalformedFileIsReportedAndNeverWrittenOver) {
    const std::string garbage =
        "Windows Registry Editor Version 5.00\n\n[HKEY_CLASSES_ROOT\\A]\n\"v\"=what\n";
    m_registry.Write(garbage);
    HKEY key = nullptr;
    EXPECT_EQ(RegCreateKeyExW(HKEY_CLASSES_ROOT, u"B", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
              ERROR_BADDB);
    EXPECT_EQ(RegOpenKeyExW(HKEY_CLASSES_ROOT, u"A", 0, KEY_READ, &key), ERROR_BADDB);
    EXPECT_EQ(winport::RegWriteString(HKEY_CLASSES_ROOT, u"C", nullptr, u"x"), ERROR_BADDB);
    {
        winport::RegistryTransaction transaction;
        EXPECT_EQ(transaction.Status(), ERROR_BADDB);
    }
    EXPECT_EQ(m_registry.Text(), garbage);
    std::string message;
    EXPECT_FALSE(winport::CheckRegistry(&message));
    EXPECT_NE(message.find(m_registry.Path() + ": line 4:"), std::string::npos) << message;
}

TEST_F(RegistryTest, SettingAnUnchangedValueLeavesTheFileAlone) {
    ASSERT_EQ(winport::RegWriteString(HKEY_CLASSES_ROOT, u"Same", nullptr, u"value"), ERROR_SUCCESS);
    ino_t first = Inode(m_registry.Path());
    ASSERT_EQ(winport::RegWriteString(HKEY_CLASSES_ROOT, u"Same", nullptr, u"value"), ERROR_SUCCESS);
    EXPECT_EQ(Inode(m_registry.Path()), first);
    ASSERT_EQ(winport::RegWriteString(HKEY_CLASSES_ROOT, u"Same", nullptr, u"other"), ERROR_SUCCESS);
    EXPECT_NE(Inode(m_registry.Path()), first);  // replaced, never rewritten in place
}

TEST_F(RegistryTest, ALeftoverFromACrashedWriterDoesNotDisturb) {
    ASSERT_EQ(winport::RegWriteString(HKEY_CLASSES_ROOT, u"Kept", nullptr, u"1"), ERROR_SUCCESS);
    // A writer that died half way left its temporary file and its lock file.
    m_registry.Write(m_registry.Text());
    {
        std::ofstream tmp(m_registry.Path() + ".tmp");
        tmp << "[HKEY_CLASSES_ROOT\\Torn";
    }
    EXPECT_EQ(ReadText(HKEY_CLASSES_ROOT, u"Kept", nullptr), u"1");
    ASSERT_EQ(winport::RegWriteString(HKEY_CLASSES_ROOT, u"Next", nullptr, u"2"), ERROR_SUCCESS);
    EXPECT_EQ(ReadText(HKEY_CLASSES_ROOT, u"Kept", nullptr), u"1");
    // Not the writer's to remove: it may be anybody's.
    std::ifstream leftover(m_registry.Path() + ".tmp");
    EXPECT_EQ(std::string((std::istreambuf_iterator<char>(leftover)), {}), "[HKEY_CLASSES_ROOT\\Torn");
    std::string message;
    EXPECT_TRUE(winport::CheckRegistry(&message)) << message;
}

TEST_F(RegistryTest, WritersInSeveralProcessesLoseNothing) {
    constexpr int kProcesses = 4;
    constexpr int kWrites = 15;
    std::vector<pid_t> children;
    for (int p = 0; p < kProcesses; ++p) {
        pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            int failures = 0;
            for (int i = 0; i < kWrites; ++i) {
                std::u16string name = winport::AnsiToUtf16("p" + std::to_string(p) + "_" + std::to_string(i));
                failures += winport::RegWriteString(HKEY_CLASSES_ROOT, u"Shared", name.c_str(), u"x") != 0;
            }
            _exit(failures);
        }
        children.push_back(pid);
    }
    for (pid_t pid : children) {
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    for (int p = 0; p < kProcesses; ++p) {
        for (int i = 0; i < kWrites; ++i) {
            std::u16string name = winport::AnsiToUtf16("p" + std::to_string(p) + "_" + std::to_string(i));
            EXPECT_EQ(ReadText(HKEY_CLASSES_ROOT, u"Shared", name.c_str()), u"x") << p << " " << i;
        }
    }
}

TEST_F(RegistryTest, KeysDeeperThanTheLimitAreRefusedAndTheFileStaysReadable) {
    using oskan::test::DeepSubKey;
    const std::u16string deepest = DeepSubKey(winport::registry::kMaxKeyDepth);
    HKEY key = Create(HKEY_CURRENT_USER, deepest.c_str());
    ASSERT_NE(key, nullptr);
    HKEY deeper = nullptr;
    EXPECT_EQ(RegCreateKeyExW(key, u"one", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &deeper, nullptr),
              ERROR_FILENAME_EXCED_RANGE);
    EXPECT_EQ(RegOpenKeyExW(key, u"one", 0, KEY_READ, &deeper), ERROR_FILENAME_EXCED_RANGE);
    RegCloseKey(key);
    for (size_t levels : {winport::registry::kMaxKeyDepth + 1, size_t{60'000}}) {
        const std::u16string path = DeepSubKey(levels);
        EXPECT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                                  &deeper, nullptr),
                  ERROR_FILENAME_EXCED_RANGE)
            << levels;
        EXPECT_EQ(winport::RegWriteString(HKEY_CURRENT_USER, path.c_str(), u"v", u"1"),
                  ERROR_FILENAME_EXCED_RANGE);
    }
    std::string message;
    EXPECT_TRUE(winport::CheckRegistry(&message)) << message;
    EXPECT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, deepest.c_str(), 0, KEY_READ, &key), ERROR_SUCCESS);
    RegCloseKey(key);
}

TEST_F(RegistryTest, AFileTooDeepToReadIsRefusedAndLeftAlone) {
    for (size_t levels : {size_t{513}, size_t{10'000}, size_t{1'000'000}}) {
        const std::string text = oskan::test::DeepRegistryText(levels);
        m_registry.Write(text);
        HKEY key = nullptr;
        EXPECT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, u"k", 0, KEY_READ, &key), ERROR_BADDB) << levels;
        EXPECT_EQ(winport::RegWriteString(HKEY_CLASSES_ROOT, u"Other", nullptr, u"x"), ERROR_BADDB);
        std::string message;
        EXPECT_FALSE(winport::CheckRegistry(&message));
        EXPECT_NE(message.find("more than 512 levels deep"), std::string::npos) << message;
        EXPECT_EQ(m_registry.Text().size(), text.size());
    }
}

TEST_F(RegistryTest, NamesWithUnpairedSurrogatesAreRefused) {
    const char16_t lone[] = {u'A', 0xD800, 0};
    const char16_t other[] = {u'A', 0xDC00, 0};
    HKEY key = nullptr;
    EXPECT_EQ(RegCreateKeyExW(HKEY_CLASSES_ROOT, lone, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
              ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegOpenKeyExW(HKEY_CLASSES_ROOT, other, 0, KEY_READ, &key), ERROR_INVALID_PARAMETER);
    key = Create(HKEY_CLASSES_ROOT, u"Names");
    EXPECT_EQ(SetText(key, lone, u"1"), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(SetText(key, other, u"2"), ERROR_INVALID_PARAMETER);
    // A whole pair is a character like any other, and text data may hold anything.
    const char16_t pair[] = {u'A', 0xD83D, 0xDE00, 0};
    EXPECT_EQ(SetText(key, pair, std::u16string_view(lone)), ERROR_SUCCESS);
    RegCloseKey(key);
    EXPECT_EQ(ReadText(HKEY_CLASSES_ROOT, u"Names", pair), std::u16string(lone));
    key = nullptr;
    EXPECT_EQ(RegOpenKeyExW(HKEY_CLASSES_ROOT, u"Names", 0, KEY_READ, &key), ERROR_SUCCESS);
    DWORD size = 0;
    EXPECT_EQ(RegQueryValueExW(key, other, nullptr, nullptr, nullptr, &size), ERROR_FILE_NOT_FOUND);
    RegCloseKey(key);
}

TEST_F(RegistryTest, APlantedTemporaryFileIsNeverWrittenThrough) {
    ASSERT_EQ(winport::RegWriteString(HKEY_CLASSES_ROOT, u"First", nullptr, u"1"), ERROR_SUCCESS);
    chmod(m_registry.Path().c_str(), 0600);
    // Another user's file, reached through a link where a fixed-name writer
    // would put its temporary file.
    const std::string victim = m_registry.Dir() + "/victim";
    { std::ofstream(victim) << "precious"; }
    oskan::test::PlantSymlink(victim, m_registry.Path() + ".tmp");
    ASSERT_EQ(winport::RegWriteString(HKEY_CLASSES_ROOT, u"Second", nullptr, u"2"), ERROR_SUCCESS);
    std::ifstream in(victim);
    std::string content((std::istreambuf_iterator<char>(in)), {});
    EXPECT_EQ(content, "precious");
    EXPECT_EQ(ReadText(HKEY_CLASSES_ROOT, u"Second", nullptr), u"2");
    EXPECT_FALSE(oskan::test::IsSymlink(m_registry.Path()));
    EXPECT_EQ(oskan::test::FileMode(m_registry.Path()), 0600);

    // A leftover that anyone may write does not lend the registry its mode.
    std::filesystem::remove(m_registry.Path() + ".tmp");
    { std::ofstream(m_registry.Path() + ".tmp") << "[HKEY_CLASSES_ROOT\\Torn"; }
    chmod((m_registry.Path() + ".tmp").c_str(), 0666);
    ASSERT_EQ(winport::RegWriteString(HKEY_CLASSES_ROOT, u"Third", nullptr, u"3"), ERROR_SUCCESS);
    EXPECT_EQ(oskan::test::FileMode(m_registry.Path()), 0600);
    EXPECT_EQ(ReadText(HKEY_CLASSES_ROOT, u"Third", nullptr), u"3");
    // No temporary files of the writer stay behind.
    for (const auto& entry : std::filesystem::directory_iterator(m_registry.Dir())) {
        const std::string name = entry.path().filename();
        EXPECT_TRUE(name == "registry.reg" || name == "registry.reg.lock" || name == "registry.reg.tmp" ||
                    name == "victim")
            << name;
    }
}

TEST_F(RegistryTest, ARegistryThatIsALinkIsUpdatedAtItsTarget) {
    // A dotfiles setup: the registry file links into another folder.
    const std::string dotfiles = m_registry.Dir() + "/dotfiles";
    std::filesystem::create_directory(dotfiles);
    const std::string target = dotfiles + "/registry.reg";
    {
        const oskan::test::ScopedEnv atTarget("OSKAN_REGISTRY", target);
        ASSERT_EQ(winport::RegWriteString(HKEY_CLASSES_ROOT, u"Before", nullptr, u"1"), ERROR_SUCCESS);
    }
    chmod(target.c_str(), 0640);
    oskan::test::PlantSymlink("dotfiles/registry.reg", m_registry.Path());

    ASSERT_EQ(winport::RegWriteString(HKEY_CLASSES_ROOT, u"After", nullptr, u"2"), ERROR_SUCCESS);
    EXPECT_TRUE(oskan::test::IsSymlink(m_registry.Path()));
    EXPECT_EQ(oskan::test::FileMode(target), 0640);
    std::ifstream in(target);
    std::string text((std::istreambuf_iterator<char>(in)), {});
    EXPECT_NE(text.find("[HKEY_CLASSES_ROOT\\After]"), std::string::npos) << text;
    EXPECT_EQ(ReadText(HKEY_CLASSES_ROOT, u"Before", nullptr), u"1");
}

TEST(TempRegistryDeathTest, AFolderThatCannotBeMadeStopsTheTest) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            const oskan::test::ScopedEnv tmp("TMPDIR", "/nonexistent/oskan-tmp");
            TempRegistry registry;
        },
        "cannot make a temporary folder");
}

TEST(RegistryPath, ExplicitFileThenConfigFolderThenHome) {
    TempRegistry registry;
    EXPECT_EQ(winport::RegistryPath(), registry.Path());
    const oskan::test::ScopedEnv explicitFile("OSKAN_REGISTRY", nullptr);
    const oskan::test::ScopedEnv home("HOME", registry.Dir());
    const oskan::test::ScopedEnv config("XDG_CONFIG_HOME", registry.Dir() + "/config");
    EXPECT_EQ(winport::RegistryPath(), registry.Dir() + "/config/oskan/registry.reg");
    // Writing makes the folders it needs.
    EXPECT_EQ(winport::RegWriteString(HKEY_CURRENT_USER, u"Made", nullptr, u"1"), ERROR_SUCCESS);
    EXPECT_EQ(access((registry.Dir() + "/config/oskan/registry.reg").c_str(), F_OK), 0);
    // Only the user may look into the folders it made.
    EXPECT_EQ(oskan::test::FileMode(registry.Dir() + "/config"), 0700);
    EXPECT_EQ(oskan::test::FileMode(registry.Dir() + "/config/oskan"), 0700);

    config.Set(nullptr);
    EXPECT_EQ(winport::RegistryPath(), registry.Dir() + "/.config/oskan/registry.reg");
    home.Set(nullptr);
    EXPECT_EQ(winport::RegistryPath(), "");
    HKEY key = nullptr;
    EXPECT_EQ(RegOpenKeyExW(HKEY_CLASSES_ROOT, u"Any", 0, KEY_READ, &key), ERROR_PATH_NOT_FOUND);
}

}  // namespace
