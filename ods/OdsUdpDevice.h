#pragma once
// The host's access to one Device Server: "ods.udpdevice" reaches it at its
// IP address, "ods.udpbcastdevice" by broadcast with its MAC; either may carry
// a password ("PASSWORD@ADDRESS"). Connect logs in (except at
// 255.255.255.255, where every server listens and the commands carry what
// they need) and completes with 0, 5 when the password is missing or wrong,
// or 1460 when the server does not answer.
//
// Parts, in construction order (destroyed in reverse, so the engines end what
// they have outstanding before the transport goes):
//   1. connection: the transport with the server framing and the socket
//   2. command target      3. loader
// A part answers its interface from a member object whose reference count is
// the device object's.

#include <string>

#include "Mirel/MirelEvents.h"
#include "common/CompletionScope.h"
#include "common/objects/SkCmdTargetPart.h"
#include "common/objects/SkConnectionPoint.h"
#include "common/objects/SkConnectionPointContainer.h"
#include "common/objects/SkLoaderPart.h"
#include "common/objects/SkObjectBase.h"
#include "ods/OdsDeviceTransport.h"
#include "ods/OdsInterfaces.h"

class COdsUdpDevice final : public SkDualImpl<ISkConnection>, public SkConnectionPointContainer {
public:
    static constexpr uint32_t kConnected = 0;
    static constexpr uint32_t kPasswordNeeded = 5;  // ERROR_ACCESS_DENIED
    static constexpr uint32_t kCancelled = 1223;    // ERROR_CANCELLED
    static constexpr uint32_t kNoAnswer = 1460;     // ERROR_TIMEOUT

    static HRESULT CreateInstance(OdsAddressing addressing, IUnknown* outer, REFIID riid, void** ppv);

    // IUnknown: this object's, or the outer object's when aggregated.
    HRESULT QueryInterface(REFIID riid, void** ppvObject) override {
        return m_Aggregation.QueryInterface(riid, ppvObject);
    }
    ULONG AddRef() override { return m_Aggregation.AddRef(); }
    ULONG Release() override { return m_Aggregation.Release(); }

    // ISkConnection
    HRESULT put_Address(BSTR newVal) override;
    HRESULT get_Address(BSTR* pVal) override;
    HRESULT get_Connected(VARIANT_BOOL* pVal) override;
    HRESULT Connect() override;
    HRESULT Disconnect() override;

    // For tests.
    OdsDeviceTransport& Transport() { return m_Transport; }
    bool IsConnecting() const { return m_hLoginClient != nullptr; }

private:
    friend class SkAggregation<COdsUdpDevice>;

    explicit COdsUdpDevice(OdsAddressing addressing);
    ~COdsUdpDevice();
    HRESULT InternalQueryInterface(REFIID riid, void** ppvObject);
    IUnknown* Identity() { return static_cast<ISkConnection*>(this); }

    static void OnLoginReply(const char* text, int length, void* user);
    static void OnExpired(RetransmitterPacket* packet, void* user);
    void EndLogin();
    void FinishConnect(uint32_t error, const char* details);
    void FireConnectComplete(uint32_t error, const std::string& details);

    SkAggregation<COdsUdpDevice> m_Aggregation{this};

    SkConnectionPoint m_cpConnectionEvents;
    SkConnectionPoint m_cpLoaderEvents;
    SkConnectionPoint m_cpCmdTargetEvents;
    SkConnectionPoint m_cpTrace;

    // 1. Connection part
    std::u16string m_Address;
    bool m_bConnected = false;
    OdsDeviceTransport m_Transport;
    TransportClient* m_hLoginClient = nullptr;  // while a login is outstanding
    TransportRequest* m_hLoginRequest = nullptr;
    uint32_t m_dwLoginId = 0;

    // 2.-3. Command target and loader.
    SkCmdTargetPart m_CmdTarget;
    SkLoaderPart m_Loader;
    CompletionQueue m_Completions;  // the connection's events
};
