#include "Mirel/MirelUdpDeviceInfo.h"

#include <gtest/gtest.h>

#include <string>

#include "tests/support/TempRegistry.h"
#include "winport/host/Bstr.h"

namespace {

std::u16string Read(MirelUdpDeviceInfo& info, HRESULT (MirelUdpDeviceInfo::*get)(BSTR*),
                    HRESULT* result = nullptr) {
    winport::Bstr text;
    HRESULT hr = (info.*get)(&text);
    if (result)
        *result = hr;
    EXPECT_TRUE(FAILED(hr) || text.get() != nullptr) << "a text property never returns a null string";
    return winport::BstrToU16(text.get());
}

TEST(MirelUdpDeviceInfo, FreshObjectReadsEmptyTextsUnmeasuredPingAndUnknownMode) {
    auto info = MirelUdpDeviceInfo::Create();
    for (auto get : {&MirelUdpDeviceInfo::get_MacAddress, &MirelUdpDeviceInfo::get_IpAddress,
                     &MirelUdpDeviceInfo::get_Version, &MirelUdpDeviceInfo::get_ProjectName,
                     &MirelUdpDeviceInfo::get_BuildId}) {
        HRESULT hr = E_FAIL;
        EXPECT_EQ(Read(*info.Get(), get, &hr), u"");
        EXPECT_EQ(hr, S_OK);
        EXPECT_EQ((info.Get()->*get)(nullptr), E_POINTER);
    }
    LONG ping = 0;
    EXPECT_EQ(info->get_Ping(&ping), S_OK);
    EXPECT_EQ(ping, -1);
    OSKAN_PCODE_MACHINE_MODE mode = OPCM_MODE_RUNNING;
    EXPECT_EQ(info->get_PcmMode(&mode), S_OK);
    EXPECT_EQ(mode, OPCM_MODE_UNKNOWN);
    EXPECT_EQ(info->get_Ping(nullptr), E_POINTER);
    EXPECT_EQ(info->get_PcmMode(nullptr), E_POINTER);
}

TEST(MirelUdpDeviceInfo, TextCopyThatCannotBeAllocatedIsOutOfMemory) {
    auto info = MirelUdpDeviceInfo::Create();
    const uint8_t mac[6] = {2, 0, 0, 1, 2, 3};
    info->SetMac(mac);
    winport::SimulateBstrAllocationFailure(0);
    BSTR text = reinterpret_cast<BSTR>(1);
    EXPECT_EQ(info->get_MacAddress(&text), E_OUTOFMEMORY);
    EXPECT_EQ(text, nullptr);
    winport::SimulateBstrAllocationFailure(-1);
    EXPECT_EQ(Read(*info.Get(), &MirelUdpDeviceInfo::get_MacAddress), u"2.0.0.1.2.3");
}

TEST(MirelUdpDeviceInfo, PartialResetKeepsIdentityFullResetClearsAll) {
    auto info = MirelUdpDeviceInfo::Create();
    const uint8_t mac[6] = {2, 0, 0, 1, 2, 255};
    info->SetDeviceId(9);
    info->SetMac(mac);
    info->SetText(MirelUdpDeviceInfo::kVersion, "4.2", 3);
    info->SetText(MirelUdpDeviceInfo::kIpAddress, "127.0.0.2", 9);
    info->SetMode(OPCM_MODE_RUNNING);
    info->AddSample(12);
    info->AddSample(40);
    EXPECT_EQ(info->Ping(), 26);
    info->AddSample(14);
    EXPECT_EQ(info->Ping(), 13);

    info->PartialReset();
    EXPECT_EQ(info->DeviceId(), 9u);
    EXPECT_EQ(Read(*info.Get(), &MirelUdpDeviceInfo::get_MacAddress), u"2.0.0.1.2.255");
    EXPECT_EQ(Read(*info.Get(), &MirelUdpDeviceInfo::get_Version), u"");
    EXPECT_EQ(Read(*info.Get(), &MirelUdpDeviceInfo::get_IpAddress), u"");
    EXPECT_EQ(info->Ping(), -1);
    info->AddSample(50);  // the old samples are gone
    EXPECT_EQ(info->Ping(), 50);

    info->FullReset();
    EXPECT_EQ(info->DeviceId(), 0u);
    EXPECT_EQ(Read(*info.Get(), &MirelUdpDeviceInfo::get_MacAddress), u"");
}

TEST(MirelUdpDeviceInfo, AnswersIDispatchAndItsOwnInterfaceOnly) {
    auto info = MirelUdpDeviceInfo::Create();
    void* p = nullptr;
    for (const IID& iid : {IID_IUnknown, IID_IDispatch, IID_IMirelUdpDeviceInfo}) {
        ASSERT_EQ(info->QueryInterface(iid, &p), S_OK);
        EXPECT_EQ(p, static_cast<IMirelUdpDeviceInfo*>(info.Get()));
        info->Release();
    }
    EXPECT_EQ(info->QueryInterface(IID_ISkRefresh, &p), E_NOINTERFACE);
    EXPECT_EQ(p, nullptr);
    EXPECT_EQ(info->QueryInterface(IID_IUnknown, nullptr), E_POINTER);
    UINT count = 0;
    EXPECT_EQ(info->GetTypeInfoCount(&count), S_OK);
    EXPECT_EQ(count, 1u);
    // Late binding needs the registered type library; this registry has none.
    oskan::test::TempRegistry unregistered;
    EXPECT_EQ(info->GetIDsOfNames(IID_NULL, nullptr, 0, 0, nullptr), TYPE_E_LIBNOTREGISTERED);
}

TEST(MirelUdpDeviceInfo, NonAsciiTextArrivesAsUtf16) {
    auto info = MirelUdpDeviceInfo::Create();
    info->SetText(MirelUdpDeviceInfo::kProjectName, "K\xc3\xbchlhaus", 9);
    EXPECT_EQ(Read(*info.Get(), &MirelUdpDeviceInfo::get_ProjectName), u"K\u00fchlhaus");
}

}  // namespace
