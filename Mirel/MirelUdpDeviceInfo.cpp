#include "Mirel/MirelUdpDeviceInfo.h"

#include <cstdio>

MirelUdpDeviceInfo::MirelUdpDeviceInfo() : m_Samples(AvgCalc::kSkipLargest, 3) {}

ComPtr<MirelUdpDeviceInfo> MirelUdpDeviceInfo::Create() {
    return ComPtr<MirelUdpDeviceInfo>(new MirelUdpDeviceInfo());
}

HRESULT MirelUdpDeviceInfo::QueryInterface(REFIID riid, void** ppvObject) {
    if (!ppvObject)
        return E_POINTER;
    if (riid == IID_IUnknown || riid == IID_IDispatch || riid == IID_IMirelUdpDeviceInfo) {
        *ppvObject = static_cast<IMirelUdpDeviceInfo*>(this);
        AddRef();
        return S_OK;
    }
    *ppvObject = nullptr;
    return E_NOINTERFACE;
}

ULONG MirelUdpDeviceInfo::Release() {
    bool destroy = false;
    ULONG count = m_RefCount.Decrement(&destroy);
    if (destroy)
        delete this;
    return count;
}

HRESULT MirelUdpDeviceInfo::CopyText(const std::u16string& text, BSTR* pVal) {
    if (!pVal)
        return E_POINTER;
    *pVal = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
    return *pVal ? S_OK : E_OUTOFMEMORY;
}

HRESULT MirelUdpDeviceInfo::get_Ping(LONG* pVal) {
    if (!pVal)
        return E_POINTER;
    *pVal = m_nPing;
    return S_OK;
}

HRESULT MirelUdpDeviceInfo::get_PcmMode(OSKAN_PCODE_MACHINE_MODE* pVal) {
    if (!pVal)
        return E_POINTER;
    *pVal = m_Mode;
    return S_OK;
}

void MirelUdpDeviceInfo::SetMac(const uint8_t mac[6]) {
    std::copy(mac, mac + 6, m_Mac);
    char text[32];
    std::snprintf(text, sizeof text, "%d.%d.%d.%d.%d.%d", mac[0], mac[1], mac[2], mac[3], mac[4], mac[5]);
    m_MacText = winport::AnsiToUtf16(text);
}

void MirelUdpDeviceInfo::SetText(TextField field, const char* ansi, size_t length) {
    m_Texts[field] = winport::AnsiToUtf16(std::string_view(ansi, length));
}

void MirelUdpDeviceInfo::AddSample(uint32_t replyTimeMs) {
    m_nPing = static_cast<int32_t>(m_Samples.Add(replyTimeMs));
}

void MirelUdpDeviceInfo::FullReset() {
    m_dwDeviceId = 0;
    std::fill(m_Mac, m_Mac + 6, 0);
    m_MacText.clear();
    PartialReset();
}

void MirelUdpDeviceInfo::PartialReset() {
    m_Samples.Reset();
    m_nPing = -1;
    for (auto& text : m_Texts)
        text.clear();
    m_Mode = OPCM_MODE_UNKNOWN;
}
