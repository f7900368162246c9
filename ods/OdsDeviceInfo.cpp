#include "ods/OdsDeviceInfo.h"

#include <algorithm>

OdsDeviceInfo::OdsDeviceInfo() : m_Samples(AvgCalc::kSkipLargest, 3) {}

ComPtr<OdsDeviceInfo> OdsDeviceInfo::Create() {
    return ComPtr<OdsDeviceInfo>(new OdsDeviceInfo());
}

HRESULT OdsDeviceInfo::QueryInterface(REFIID riid, void** ppvObject) {
    if (!ppvObject)
        return E_POINTER;
    if (riid == IID_IUnknown || riid == IID_IDispatch || riid == IID_IFixedFirmwareDeviceInfo) {
        *ppvObject = static_cast<IFixedFirmwareDeviceInfo*>(this);
        AddRef();
        return S_OK;
    }
    *ppvObject = nullptr;
    return E_NOINTERFACE;
}

ULONG OdsDeviceInfo::Release() {
    bool destroy = false;
    ULONG count = m_RefCount.Decrement(&destroy);
    if (destroy)
        delete this;
    return count;
}

HRESULT OdsDeviceInfo::CopyText(const std::u16string& text, BSTR* pVal) {
    if (!pVal)
        return E_POINTER;
    *pVal = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
    return *pVal ? S_OK : E_OUTOFMEMORY;
}

HRESULT OdsDeviceInfo::CopyNumber(int32_t value, LONG* pVal) {
    if (!pVal)
        return E_POINTER;
    *pVal = value;
    return S_OK;
}

bool OdsDeviceInfo::Update(const OdsProtocol::ServerRecord& record) {
    // Every text is made before any field changes.
    std::u16string macText = winport::AnsiToUtf16(OdsProtocol::FormatMac(record.mac));
    std::u16string ip = winport::AnsiToUtf16(record.ip);
    std::u16string version = winport::AnsiToUtf16(record.version);
    std::u16string first = winport::AnsiToUtf16(record.firstDescription);
    std::u16string second = winport::AnsiToUtf16(record.secondDescription);
    const bool changed = macText != m_MacText || ip != m_IpAddress || version != m_Version ||
                         record.directAccess != m_nDirectAccess ||
                         record.passwordProtected != m_nPasswordProtected || record.uptime != m_nUptime ||
                         first != m_FirstDescription || second != m_SecondDescription;
    std::copy(record.mac, record.mac + 6, m_Mac);
    m_MacText.swap(macText);
    m_IpAddress.swap(ip);
    m_Version.swap(version);
    m_nDirectAccess = record.directAccess;
    m_nPasswordProtected = record.passwordProtected;
    m_nUptime = record.uptime;
    m_FirstDescription.swap(first);
    m_SecondDescription.swap(second);
    return changed;
}

void OdsDeviceInfo::AddSample(uint32_t replyTimeMs) {
    m_nPing = static_cast<int32_t>(m_Samples.Add(replyTimeMs));
}

void OdsDeviceInfo::StartScan() {
    m_Samples.Reset();
    m_nPing = -1;
}
