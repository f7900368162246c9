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

#include "Mirel/MirelCmdTargetPart.h"
#include "Mirel/MirelEvents.h"
#include "Mirel/MirelInterfaces.h"
#include "Mirel/MirelLoaderPart.h"
#include "Mirel/SkConnectionPoint.h"
#include "Mirel/mireldebuggee.h"
#include "Mirel/SkConnectionPointContainer.h"
#include "Mirel/UdpDeviceTransport.h"

class CMirelUdpDevice final : public ISkConnection, public SkConnectionPointContainer {
public:
    static constexpr ULONG kDestroyingRefCount = 0x40000000;

    // Creates an object and queries it for riid.
    static HRESULT CreateInstance(REFIID riid, void** ppv);

    // IUnknown
    HRESULT QueryInterface(REFIID riid, void** ppvObject) override;
    ULONG AddRef() override { return ++m_nRefCount; }
    ULONG Release() override;

    // IDispatch: served from the registered type library.
    HRESULT GetTypeInfoCount(UINT* pctinfo) override;
    HRESULT GetTypeInfo(UINT iTInfo, LCID lcid, ITypeInfo** ppTInfo) override;
    HRESULT GetIDsOfNames(REFIID riid, LPOLESTR* rgszNames, UINT cNames, LCID lcid, DISPID* rgDispId) override;
    HRESULT Invoke(DISPID dispIdMember, REFIID riid, LCID lcid, WORD wFlags, DISPPARAMS* pDispParams,
                   VARIANT* pVarResult, EXCEPINFO* pExcepInfo, UINT* puArgErr) override;

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
    CMirelUdpDevice();
    ~CMirelUdpDevice();

    ULONG m_nRefCount = 0;

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
    MirelCmdTargetPart m_CmdTarget;
    MirelLoaderPart m_Loader;
    MirelDebuggee m_Debuggee;
};
