#pragma once
// The host's access to one SkOS device, addressed by its MAC address. One
// object carries the connection (this unit), text commands, uploads and the
// debugger; each of those is a part of the object with its own interface and
// events, sharing the object's one message transport and socket.
//
// Parts, in construction order (destroyed in reverse, so the engines end what
// they have outstanding before the socket and then the transport go):
//   1. connection: the transport with the device framing and the socket
//   2. command target      3. loader      4. debugger
//   5. the _ISkTrace event source
// A part answers its interface from a member object whose reference count is
// the device object's.

#include <string>

#include "Mirel/MirelEvents.h"
#include "Mirel/MirelInterfaces.h"
#include "Mirel/mireldebuggee.h"
#include "common/UdpDeviceTransport.h"
#include "common/objects/SkCmdTargetPart.h"
#include "common/objects/SkConnectionPoint.h"
#include "common/objects/SkConnectionPointContainer.h"
#include "common/objects/SkLoaderPart.h"
#include "common/objects/SkObjectBase.h"

class CMirelUdpDevice final : public SkDualImpl<ISkConnection>, public SkConnectionPointContainer {
public:
    // Creates an object and queries it for riid.
    static HRESULT CreateInstance(REFIID riid, void** ppv);
    // The class object's creator: with an outer object (riid must then be
    // IID_IUnknown) an aggregated object, whose inner unknown goes to *ppv.
    static HRESULT CreateInstance(IUnknown* outer, REFIID riid, void** ppv);

    // IUnknown: this object's, or the outer object's when aggregated. The
    // parts forward theirs here.
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

    // For the parts and for tests.
    UdpDeviceTransport& Transport() { return m_Transport; }
    IUnknown* Identity() { return static_cast<ISkConnection*>(this); }

private:
    friend class SkAggregation<CMirelUdpDevice>;

    CMirelUdpDevice();
    ~CMirelUdpDevice();
    // The interface map.
    HRESULT InternalQueryInterface(REFIID riid, void** ppvObject);

    // Outlives the parts: events fired while they end their work take and
    // drop references of their own.
    SkAggregation<CMirelUdpDevice> m_Aggregation{this};

    // Event sources, in the order of the connection map.
    SkConnectionPoint m_cpConnectionEvents;
    SkConnectionPoint m_cpLoaderEvents;
    SkConnectionPoint m_cpDebuggeeEvents;
    SkConnectionPoint m_cpCmdTargetEvents;
    SkConnectionPoint m_cpTrace;

    // 1. Connection part
    std::u16string m_Address;  // as the host set it
    bool m_bConnected = false;
    UdpDeviceTransport m_Transport;

    // 2.-4. Command target, loader and debugger parts follow here.
    SkCmdTargetPart m_CmdTarget;
    SkLoaderPart m_Loader;
    MirelDebuggee m_Debuggee;
};
