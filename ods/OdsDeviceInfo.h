#pragma once
// What discovery knows of one Device Server: MAC and IP address, averaged
// reply time, version, the direct-access and password flags, its uptime and
// its two descriptions. Hosts read it; only the discovery engine writes it.

#include <cstdint>
#include <string>

#include "common/avgcalc.h"
#include "common/objects/SkObjectBase.h"
#include "ods/OdsInterfaces.h"
#include "ods/OdsProtocol.h"

template <>
struct SkInterfaceId<IFixedFirmwareDeviceInfo> {
    static constexpr const IID& value = IID_IFixedFirmwareDeviceInfo;
};

class OdsDeviceInfo final : public SkDualImpl<IFixedFirmwareDeviceInfo> {
public:
    // A new object holding the caller's first reference.
    static ComPtr<OdsDeviceInfo> Create();

    // IUnknown
    HRESULT QueryInterface(REFIID riid, void** ppvObject) override;
    ULONG AddRef() override { return m_RefCount.Increment(); }
    ULONG Release() override;

    // IFixedFirmwareDeviceInfo
    HRESULT get_MacAddress(BSTR* pVal) override { return CopyText(m_MacText, pVal); }
    HRESULT get_IpAddress(BSTR* pVal) override { return CopyText(m_IpAddress, pVal); }
    HRESULT get_Ping(LONG* pVal) override { return CopyNumber(m_nPing, pVal); }
    HRESULT get_Version(BSTR* pVal) override { return CopyText(m_Version, pVal); }
    HRESULT get_DirectAccess(LONG* pVal) override { return CopyNumber(m_nDirectAccess, pVal); }
    HRESULT get_PasswordProtected(LONG* pVal) override { return CopyNumber(m_nPasswordProtected, pVal); }
    HRESULT get_Uptime(LONG* pVal) override { return CopyNumber(m_nUptime, pVal); }
    HRESULT get_FirstDescription(BSTR* pVal) override { return CopyText(m_FirstDescription, pVal); }
    HRESULT get_SecondDescription(BSTR* pVal) override { return CopyText(m_SecondDescription, pVal); }

    // The engine's side.
    uint32_t DeviceId() const { return m_dwDeviceId; }
    void SetDeviceId(uint32_t id) { m_dwDeviceId = id; }
    const uint8_t* Mac() const { return m_Mac; }
    const std::u16string& MacText() const { return m_MacText; }
    // Takes everything the record says; false when nothing changed.
    bool Update(const OdsProtocol::ServerRecord& record);
    void AddSample(uint32_t replyTimeMs);
    int32_t Ping() const { return m_nPing; }
    int32_t DirectAccess() const { return m_nDirectAccess; }
    // A new scan: the reply time starts again; the rest stays until the server answers.
    void StartScan();

private:
    OdsDeviceInfo();
    ~OdsDeviceInfo() = default;
    static HRESULT CopyText(const std::u16string& text, BSTR* pVal);
    static HRESULT CopyNumber(int32_t value, LONG* pVal);

    SkRefCount m_RefCount;
    uint32_t m_dwDeviceId = 0;
    int32_t m_nPing = -1;
    AvgCalc m_Samples;
    uint8_t m_Mac[6] = {};
    std::u16string m_MacText;
    std::u16string m_IpAddress;
    std::u16string m_Version;
    int32_t m_nDirectAccess = 0;
    int32_t m_nPasswordProtected = 0;
    int32_t m_nUptime = 0;
    std::u16string m_FirstDescription;
    std::u16string m_SecondDescription;
};
