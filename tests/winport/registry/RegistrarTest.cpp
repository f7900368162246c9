// Registry scripts: what registering writes, what unregistering takes away
// and what it leaves, and scripts that must change nothing at all.
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "tests/support/AllocationFailure.h"
#include "tests/support/TempRegistry.h"
#include "winport/registry/Registrar.h"
#include "winport/registry/registry.h"

namespace {

using oskan::test::TempRegistry;

constexpr char kScript[] = R"(HKCR
{
    Sample.Thing.1 = s 'Sample Thing'
    {
        CLSID = s '{11111111-2222-3333-4444-555555555555}'
    }
    NoRemove CLSID
    {
        ForceRemove {11111111-2222-3333-4444-555555555555} = s 'Sample Thing'
        {
            ForceRemove 'Programmable'
            InprocServer32 = s '%MODULE%'
            {
                val ThreadingModel = s 'Apartment'
            }
            Flags = d '0x2A'
            Blob = b '00FF10'
        }
    }
    'It''s quoted' = s '100%% sure'
}
)";

std::u16string Read(const char16_t* path, const char16_t* name = nullptr, LONG* status = nullptr) {
    std::u16string text;
    LONG s = winport::RegReadString(HKEY_CLASSES_ROOT, path, name, &text);
    if (status)
        *status = s;
    return text;
}

bool Exists(const char16_t* path) {
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_CLASSES_ROOT, path, 0, KEY_READ, &key) != ERROR_SUCCESS)
        return false;
    RegCloseKey(key);
    return true;
}

class RegistrarTest : public ::testing::Test {
protected:
    winport::Registrar Registrar() {
        winport::Registrar registrar;
        registrar.AddReplacement("Module", "/opt/lib/libSample.so.1");
        return registrar;
    }
    TempRegistry m_registry;
};

TEST_F(RegistrarTest, RegisteringWritesEveryKeyAndValue) {
    winport::Registrar registrar = Registrar();
    ASSERT_EQ(registrar.Register(kScript), S_OK) << registrar.LastError();
    EXPECT_EQ(Read(u"Sample.Thing.1"), u"Sample Thing");
    EXPECT_EQ(Read(u"Sample.Thing.1\\CLSID"), u"{11111111-2222-3333-4444-555555555555}");
    const char16_t* clsid = u"CLSID\\{11111111-2222-3333-4444-555555555555}";
    EXPECT_EQ(Read(clsid), u"Sample Thing");
    EXPECT_TRUE(Exists((std::u16string(clsid) + u"\\Programmable").c_str()));
    EXPECT_EQ(Read((std::u16string(clsid) + u"\\InprocServer32").c_str()), u"/opt/lib/libSample.so.1");
    EXPECT_EQ(Read((std::u16string(clsid) + u"\\InprocServer32").c_str(), u"ThreadingModel"), u"Apartment");
    EXPECT_EQ(Read(u"It's quoted"), u"100% sure");
    EXPECT_NE(
        m_registry.Text().find("[HKEY_CLASSES_ROOT\\CLSID\\{11111111-2222-3333-4444-555555555555}\\Flags]\n"
                               "@=dword:0000002a"),
        std::string::npos)
        << m_registry.Text();
    EXPECT_NE(m_registry.Text().find("@=hex:00,ff,10"), std::string::npos);
}

TEST_F(RegistrarTest, RegisteringTwiceLeavesOneSetAndForceRemoveReplacesTheKey) {
    winport::Registrar registrar = Registrar();
    ASSERT_EQ(registrar.Register(kScript), S_OK);
    std::string once = m_registry.Text();
    // Something stale below the ForceRemove key goes with the next registration.
    winport::RegWriteString(HKEY_CLASSES_ROOT, u"CLSID\\{11111111-2222-3333-4444-555555555555}\\Stale",
                            nullptr, u"old");
    ASSERT_EQ(registrar.Register(kScript), S_OK);
    EXPECT_EQ(m_registry.Text(), once);
}

TEST_F(RegistrarTest, UnregisteringRemovesWhatItWroteAndKeepsNoRemoveKeysAndForeignSubkeys) {
    winport::Registrar registrar = Registrar();
    winport::RegWriteString(HKEY_CLASSES_ROOT, u"CLSID\\{99999999-0000-0000-0000-000000000000}", nullptr,
                            u"other");
    winport::RegWriteString(HKEY_CLASSES_ROOT, u"Sample.Thing.1\\Shell", nullptr, u"someone else's");
    ASSERT_EQ(registrar.Register(kScript), S_OK);
    ASSERT_EQ(registrar.Unregister(kScript), S_OK) << registrar.LastError();
    EXPECT_FALSE(Exists(u"CLSID\\{11111111-2222-3333-4444-555555555555}"));
    EXPECT_TRUE(Exists(u"CLSID\\{99999999-0000-0000-0000-000000000000}"));  // NoRemove CLSID stays
    EXPECT_FALSE(Exists(u"Sample.Thing.1\\CLSID"));
    EXPECT_TRUE(Exists(u"Sample.Thing.1\\Shell"));  // a key with a foreign subkey stays
    EXPECT_FALSE(Exists(u"It's quoted"));
    // Unregistering what is not there is no failure.
    EXPECT_EQ(registrar.Unregister(kScript), S_OK);
}

TEST_F(RegistrarTest, DeleteRemovesAKeyWhenRegistering) {
    winport::RegWriteString(HKEY_CLASSES_ROOT, u"Old.Name\\CLSID", nullptr, u"x");
    winport::Registrar registrar;
    ASSERT_EQ(registrar.Register("HKCR { Delete Old.Name New.Name = s 'n' }"), S_OK) << registrar.LastError();
    EXPECT_FALSE(Exists(u"Old.Name"));
    EXPECT_EQ(Read(u"New.Name"), u"n");
}

TEST_F(RegistrarTest, ScriptsThatDoNotParseChangeNothing) {
    winport::RegWriteString(HKEY_CLASSES_ROOT, u"Existing", nullptr, u"1");
    const std::string before = m_registry.Text();
    struct Case {
        const char* script;
        const char* message;
    } cases[] = {
        {"HKXX { A = s 'a' }", "line 1: \"HKXX\" is not a root key"},
        {"HKCR { A = s 'a' ", "\"}\" is missing"},
        {"HKCR {\n A = q 'a' }", "line 2: \"q\" is not a value type"},
        {"HKCR { A = s unquoted }", "a value must be a quoted text"},
        {"HKCR { A = s 'open }", "no closing quote"},
        {"HKCR { A = d 'many' }", "d needs a 32-bit number"},
        {"HKCR { A = b '0G' }", "b needs pairs of hexadecimal digits"},
        {"HKCR { A = s '%UNKNOWN%' }", "no value is given for %UNKNOWN%"},
        {"HKCR { A = s '50% off' }", "a % has no closing %"},
        {"HKCR { B = s 'b' } HKCR { = }", "a name was expected"},
    };
    for (const auto& c : cases) {
        winport::Registrar registrar = Registrar();
        EXPECT_EQ(registrar.Register(c.script), DISP_E_EXCEPTION) << c.script;
        EXPECT_NE(registrar.LastError().find(c.message), std::string::npos)
            << c.script << " -> " << registrar.LastError();
        EXPECT_EQ(m_registry.Text(), before) << c.script;
    }
}

TEST_F(RegistrarTest, ARegistryFailureIsReturnedAsItsCode) {
    m_registry.Write("not a registry file\n");
    winport::Registrar registrar = Registrar();
    EXPECT_EQ(registrar.Register(kScript), HRESULT_FROM_WIN32(ERROR_BADDB));
    EXPECT_EQ(m_registry.Text(), "not a registry file\n");
}

// Every allocation of a call fails in turn: the registrar answers
// E_OUTOFMEMORY and the registry functions ERROR_NOT_ENOUGH_MEMORY, or they
// succeed; nothing throws, a failed registration leaves the file as it was,
// and the registry works afterwards.
TEST_F(RegistrarTest, OutOfMemoryAnywhereIsAnAnswerAndLeavesTheRegistryWhole) {
    struct Case {
        const char* name;
        std::function<long(winport::Registrar&)> call;  // an HRESULT, or a Win32 code
        long outOfMemory;
        bool wholeOrNothing;
    };
    const auto withKey = [](const std::function<LONG(HKEY)>& use) {
        HKEY key = nullptr;
        LONG status = RegOpenKeyExW(HKEY_CLASSES_ROOT, u"Sample.Thing.1", 0, KEY_ALL_ACCESS, &key);
        if (status != ERROR_SUCCESS)
            return status;
        status = use(key);
        RegCloseKey(key);
        return status;
    };
    const Case cases[] = {
        {"Register", [](winport::Registrar& r) { return long{r.Register(kScript)}; }, E_OUTOFMEMORY, true},
        {"AddReplacement", [](winport::Registrar& r) { return long{r.AddReplacement("Other", "/opt/x.so")}; },
         E_OUTOFMEMORY, false},
        {"RegWriteString",
         [](winport::Registrar&) {
             return long{winport::RegWriteString(HKEY_CLASSES_ROOT, u"A\\B", u"v", u"text")};
         },
         ERROR_NOT_ENOUGH_MEMORY, false},
        {"RegReadString",
         [](winport::Registrar&) {
             std::u16string text;
             return long{winport::RegReadString(HKEY_CLASSES_ROOT, u"Sample.Thing.1", nullptr, &text)};
         },
         ERROR_NOT_ENOUGH_MEMORY, false},
        {"RegEnumKeyExW",
         [&](winport::Registrar&) {
             return long{withKey([](HKEY key) {
                 WCHAR name[64];
                 DWORD length = 64;
                 return RegEnumKeyExW(key, 0, name, &length, nullptr, nullptr, nullptr, nullptr);
             })};
         },
         ERROR_NOT_ENOUGH_MEMORY, false},
        {"RegDeleteValueW",
         [&](winport::Registrar&) {
             return long{withKey([](HKEY key) { return RegDeleteValueW(key, nullptr); })};
         },
         ERROR_NOT_ENOUGH_MEMORY, true},
        {"RegDeleteTreeW",
         [](winport::Registrar&) { return long{RegDeleteTreeW(HKEY_CLASSES_ROOT, u"Sample.Thing.1")}; },
         ERROR_NOT_ENOUGH_MEMORY, true},
        {"a transaction",
         [](winport::Registrar&) {
             winport::RegistryTransaction transaction;
             LONG status = transaction.Status();
             if (status == ERROR_SUCCESS)
                 status = winport::RegWriteString(HKEY_CLASSES_ROOT, u"T", nullptr, u"t");
             return long{status == ERROR_SUCCESS ? transaction.Commit() : status};
         },
         ERROR_NOT_ENOUGH_MEMORY, true},
        {"Unregister", [](winport::Registrar& r) { return long{r.Unregister(kScript)}; }, E_OUTOFMEMORY,
         true},
    };
    winport::Registrar registrar = Registrar();
    ASSERT_EQ(registrar.Register(kScript), S_OK) << registrar.LastError();
    const std::string registered = m_registry.Text();
    for (const Case& c : cases) {
        for (size_t failAt = 0;; ++failAt) {
            SCOPED_TRACE(std::string(c.name) + " failing allocation " + std::to_string(failAt));
            // A registry with the script registered, as each call expects.
            m_registry.Write(registered);
            const std::string before = m_registry.Text();
            long result = -1;
            bool failed = false;
            {
                oskan::test::AllocationFailure failure(failAt);
                EXPECT_NO_THROW(result = c.call(registrar));
                failed = failure.Happened();
            }
            if (failed && result != 0) {
                EXPECT_EQ(result, c.outOfMemory);
                if (c.wholeOrNothing) {
                    EXPECT_EQ(m_registry.Text(), before);
                }
            } else {
                EXPECT_EQ(result, 0) << std::hex << result;
            }
            // The registry still reads, and a transaction begins and ends.
            {
                winport::RegistryTransaction transaction;
                ASSERT_EQ(transaction.Status(), ERROR_SUCCESS);
                ASSERT_EQ(transaction.Commit(), ERROR_SUCCESS);
            }
            EXPECT_TRUE(Exists(u"CLSID"));
            if (!failed)
                break;
            ASSERT_LT(failAt, 5000u);
        }
    }
    // And it writes.
    m_registry.Write(registered);
    ASSERT_EQ(registrar.Unregister(kScript), S_OK) << registrar.LastError();
    EXPECT_FALSE(Exists(u"Sample.Thing.1"));
}

}  // namespace
