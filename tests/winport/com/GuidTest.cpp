// GUIDs: the registry text form both ways, and the well-known interface IDs.
#include <gtest/gtest.h>

#include <cstring>
#include <map>

#include "winport/automation/oleauto.h"
#include "winport/com/com.h"
#include "winport/com/ocidl.h"

namespace {

constexpr GUID kDevice = {0xEC32CBBA, 0x6B33, 0x4A61, {0x88, 0x39, 0x86, 0xFB, 0x2A, 0x85, 0x7F, 0x37}};

TEST(Guid, FormatsTheRegistryFormInUpperCase) {
    EXPECT_EQ(winport::GuidToString(kDevice), "{EC32CBBA-6B33-4A61-8839-86FB2A857F37}");
    EXPECT_EQ(winport::GuidToU16String(kDevice), u"{EC32CBBA-6B33-4A61-8839-86FB2A857F37}");
    EXPECT_EQ(winport::GuidToString(IID_NULL), "{00000000-0000-0000-0000-000000000000}");
    // Data1..Data3 are numbers, written most significant first; Data4 is bytes.
    const GUID ordered = {0x01020304, 0x0506, 0x0708, {0x09, 0x0A, 0x0B, 0x0C, 0x0D, 0x0E, 0x0F, 0x10}};
    EXPECT_EQ(winport::GuidToString(ordered), "{01020304-0506-0708-090A-0B0C0D0E0F10}");
}

TEST(Guid, ParsesEitherCase) {
    GUID guid = IID_NULL;
    ASSERT_TRUE(winport::GuidFromString("{EC32CBBA-6B33-4A61-8839-86FB2A857F37}", &guid));
    EXPECT_EQ(guid, kDevice);
    guid = IID_NULL;
    ASSERT_TRUE(winport::GuidFromString("{ec32cbba-6b33-4a61-8839-86fb2a857f37}", &guid));
    EXPECT_EQ(guid, kDevice);
    guid = IID_NULL;
    ASSERT_TRUE(winport::GuidFromString(u"{Ec32CbBa-6b33-4A61-8839-86fB2a857F37}", &guid));
    EXPECT_EQ(guid, kDevice);
}

TEST(Guid, RoundTrips) {
    uint32_t seed = 12345;
    for (int n = 0; n < 200; ++n) {
        GUID guid;
        auto* bytes = reinterpret_cast<unsigned char*>(&guid);
        for (size_t i = 0; i < sizeof(guid); ++i) {
            seed = seed * 1103515245u + 12345u;
            bytes[i] = static_cast<unsigned char>(seed >> 16);
        }
        GUID back = IID_NULL;
        ASSERT_TRUE(winport::GuidFromString(winport::GuidToString(guid), &back));
        EXPECT_EQ(back, guid);
        back = IID_NULL;
        ASSERT_TRUE(winport::GuidFromString(winport::GuidToU16String(guid), &back));
        EXPECT_EQ(back, guid);
    }
}

TEST(Guid, RejectsMalformedText) {
    const char* const bad[] = {
        "",
        "EC32CBBA-6B33-4A61-8839-86FB2A857F37",     // no braces
        "{EC32CBBA-6B33-4A61-8839-86FB2A857F37",    // no closing brace
        "(EC32CBBA-6B33-4A61-8839-86FB2A857F37)",   // wrong brackets
        "{EC32CBBA-6B33-4A61-8839-86FB2A857F3}",    // one digit short
        "{EC32CBBA-6B33-4A61-8839-86FB2A857F377}",  // one digit more
        "{EC32CBBA-6B33-4A61-8839-86FB2A857F37} ",  // trailing space
        " {EC32CBBA-6B33-4A61-8839-86FB2A857F37}",  // leading space
        "{EC32CBBA-6B33-4A61-883986FB2A857F37--}",  // dash moved
        "{EC32CBBA:6B33-4A61-8839-86FB2A857F37}",   // wrong separator
        "{EC32CBBG-6B33-4A61-8839-86FB2A857F37}",   // not hexadecimal
        "{EC32CBBA-6B33-4A61-8839-86FB2A857F3 }",
        "{EC32CBBA-6B33-4A61-8839-86FB2A857F+7}",
        "{0x32CBBA-6B33-4A61-8839-86FB2A857F37}",
        "{EC32CBBA6B334A61883986FB2A857F37}",
        "Mirel.UdpDevice",
    };
    for (const char* text : bad) {
        GUID guid = kDevice;
        EXPECT_FALSE(winport::GuidFromString(text, &guid)) << text;
        EXPECT_EQ(guid, kDevice) << "changed by " << text;
    }
    // An embedded zero does not end the text early.
    GUID guid = kDevice;
    const std::string withZero(
        "{EC32CBBA-6B33-4A61-8839-86FB2A857F\0"
        "7}",
        38);
    EXPECT_FALSE(winport::GuidFromString(withZero, &guid));
    // Non-ASCII characters that narrow to digits are not digits.
    std::u16string wide = u"{EC32CBBA-6B33-4A61-8839-86FB2A857F37}";
    wide[1] = static_cast<char16_t>(0x0145);  // low byte 'E'
    EXPECT_FALSE(winport::GuidFromString(wide, &guid));
    EXPECT_FALSE(winport::GuidFromString("{EC32CBBA-6B33-4A61-8839-86FB2A857F37}", nullptr));
}

TEST(Guid, StringFromGuid2NeedsRoomForTheTerminator) {
    OLECHAR buffer[40];
    std::memset(buffer, 0x55, sizeof(buffer));
    EXPECT_EQ(StringFromGUID2(kDevice, buffer, 38), 0);
    EXPECT_EQ(buffer[0], 0x5555);
    EXPECT_EQ(StringFromGUID2(kDevice, buffer, 39), 39);
    EXPECT_EQ(std::u16string(buffer), u"{EC32CBBA-6B33-4A61-8839-86FB2A857F37}");
    EXPECT_EQ(buffer[39], 0x5555);
    EXPECT_EQ(StringFromGUID2(kDevice, nullptr, 39), 0);
}

TEST(Guid, ComparesAndOrders) {
    GUID other = kDevice;
    EXPECT_TRUE(IsEqualGUID(other, kDevice));
    EXPECT_TRUE(other == kDevice);
    other.Data4[7] ^= 1;
    EXPECT_FALSE(IsEqualGUID(other, kDevice));
    EXPECT_TRUE(other != kDevice);
    EXPECT_TRUE(other < kDevice || kDevice < other);
    std::map<GUID, int> byGuid{{kDevice, 1}, {other, 2}, {IID_IUnknown, 3}};
    EXPECT_EQ(byGuid.size(), 3u);
    EXPECT_EQ(byGuid[kDevice], 1);
}

TEST(Guid, WellKnownInterfaceIds) {
    EXPECT_EQ(winport::GuidToString(IID_IUnknown), "{00000000-0000-0000-C000-000000000046}");
    EXPECT_EQ(winport::GuidToString(IID_IClassFactory), "{00000001-0000-0000-C000-000000000046}");
    EXPECT_EQ(winport::GuidToString(IID_IDispatch), "{00020400-0000-0000-C000-000000000046}");
    EXPECT_EQ(winport::GuidToString(IID_ITypeInfo), "{00020401-0000-0000-C000-000000000046}");
    EXPECT_EQ(winport::GuidToString(IID_IConnectionPointContainer), "{B196B284-BAB4-101A-B69C-00AA00341D07}");
    EXPECT_EQ(winport::GuidToString(IID_IEnumConnectionPoints), "{B196B285-BAB4-101A-B69C-00AA00341D07}");
    EXPECT_EQ(winport::GuidToString(IID_IConnectionPoint), "{B196B286-BAB4-101A-B69C-00AA00341D07}");
    EXPECT_EQ(winport::GuidToString(IID_IEnumConnections), "{B196B287-BAB4-101A-B69C-00AA00341D07}");
}

}  // namespace
