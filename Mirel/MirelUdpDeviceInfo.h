#pragma once
// What discovery knows of one device: MAC and IP address, averaged reply time,
// firmware version, build id, project name and P-code machine mode. Hosts read
// it; only the discovery engine writes it.

#include <cstdint>
#include <string>

#include "Mirel/MirelInterfaces.h"
#include "common/avgcalc.h"
#include "common/objects/SkObjectBase.h"

template <>
struct SkInterfaceId<IMirelUdpDeviceInfo> {
    static constexpr const IID& value = IID_IMirelUdpDeviceInfo;
};

class MirelUdpDeviceInfo final : public SkDualImpl<IMirelUdpDeviceInfo> {
public:
    enum TextField { kIpAddress, kVersion, kProjectName, kBuildId };

    // A new object holding the caller's first reference.
    static ComPtr<MirelUdpDeviceInfo> Create();

    // IUnknown
    HRESULT QueryInterface(REFIID riid, void** ppvObject) override;
    ULONG AddRef() override { return m_RefCount.Increment(); }
    ULONG Release() override;

    // IMirelUdpDeviceInfo
    HRESULT get_MacAddress(BSTR* pVal) override { return CopyText(m_MacText, pVal); }
    HRESULT get_IpAddress(BSTR* pVal) override { return CopyText(m_Texts[kIpAddress], pVal); }
    HRESULT get_Ping(LONG* pVal) override;
    HRESULT get_Version(BSTR* pVal) override { return CopyText(m_Texts[kVersion], pVal); }
    HRESULT get_ProjectName(BSTR* pVal) override { return CopyText(m_Texts[kProjectName], pVal); }
    HRESULT get_BuildId(BSTR* pVal) override { return CopyText(m_Texts[kBuildId], pVal); }
    HRESULT get_PcmMode(OSKAN_PCODE_MACHINE_MODE* pVal) override;

    // The engine's side.
    uint32_t DeviceId() const { return m_dwDeviceId; }
    void SetDeviceId(uint32_t id) { m_dwDeviceId = id; }
    const uint8_t* Mac() const { return m_Mac; }
    void SetMac(const uint8_t mac[6]);
    void SetText(TextField field, const char* ansi, size_t length);
    void SetMode(OSKAN_PCODE_MACHINE_MODE mode) { m_Mode = mode; }
    void AddSample(uint32_t replyTimeMs);
    int32_t Ping() const { return m_nPing; }
    void FullReset();
    void PartialReset();

private:
    MirelUdpDeviceInfo();
    ~MirelUdpDeviceInfo() = default;
    static HRESULT CopyText(const std::u16string& text, BSTR* pVal);

    SkRefCount m_RefCount;
    uint32_t m_dwDeviceId = 0;
    int32_t m_nPing = -1;
    AvgCalc m_Samples;
    uint8_t m_Mac[6] = {};
    std::u16string m_MacText;
    std::u16string m_Texts[4];
    OSKAN_PCODE_MACHINE_MODE m_Mode = OPCM_MODE_UNKNOWN;
};
