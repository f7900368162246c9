#pragma once
// "ods.serialloader": firmware into a Device Server through a serial port.
// Address is the port's device path (/dev/ttyUSB0); Connect opens it, raw 8N1
// at 115200 baud, and completes with 0, 2 when there is no such port or 5 when
// it is refused or held by another program. Load(file, 0) then sends the
// firmware with XMODEM-1K/CRC once the device asks for it (rebooted with its
// SETUP button pressed), however long that takes.
//
// Parts, in construction order (destroyed in reverse, so the upload ends
// before the port goes): 1. the port, 2. the loader.

#include <string>

#include "Mirel/MirelEvents.h"
#include "common/CompletionScope.h"
#include "common/SerialPort.h"
#include "common/XmodemSender.h"
#include "common/objects/SkConnectionPoint.h"
#include "common/objects/SkConnectionPointContainer.h"
#include "common/objects/SkObjectBase.h"
#include "ods/OdsInterfaces.h"

// ISkLoader over the XMODEM sender, firing on the object's _ISkLoaderEvents.
class OdsSerialLoaderPart final : public SkDispatchImpl<ISkLoader> {
public:
    OdsSerialLoaderPart(IUnknown* owner, SerialPort& port, SkConnectionPoint& events);
    OdsSerialLoaderPart(const OdsSerialLoaderPart&) = delete;
    OdsSerialLoaderPart& operator=(const OdsSerialLoaderPart&) = delete;
    // A running upload completes as cancelled to the sinks still connected.
    ~OdsSerialLoaderPart();

    HRESULT QueryInterface(REFIID riid, void** ppvObject) override {
        return m_pOwner->QueryInterface(riid, ppvObject);
    }
    ULONG AddRef() override { return m_pOwner->AddRef(); }
    ULONG Release() override { return m_pOwner->Release(); }

    // ISkLoader. Firmware only (flags 0, or OLF_FIXED_FIRMWARE, which says
    // nothing more here); an application is refused with E_INVALIDARG.
    HRESULT Load(BSTR bstrFileName, int nFlags) override;
    HRESULT Cancel() override;

    XmodemSender& Engine() { return m_Engine; }

private:
    static void OnProgress(int nPercentage, void* user);
    static void OnComplete(uint32_t lError, const char* pszDetails, void* user);

    IUnknown* const m_pOwner;
    SkConnectionPoint& m_cpEvents;
    XmodemSender m_Engine;
};

class COdsSerialLoader final : public SkDualImpl<ISkConnection>, public SkConnectionPointContainer {
public:
    static constexpr uint32_t kConnected = 0;

    static HRESULT CreateInstance(IUnknown* outer, REFIID riid, void** ppv);

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

private:
    friend class SkAggregation<COdsSerialLoader>;

    COdsSerialLoader();
    ~COdsSerialLoader() = default;
    HRESULT InternalQueryInterface(REFIID riid, void** ppvObject);
    IUnknown* Identity() { return static_cast<ISkConnection*>(this); }
    void FireConnection(DISPID dispid, uint32_t code, const std::string& details);

    SkAggregation<COdsSerialLoader> m_Aggregation{this};

    SkConnectionPoint m_cpConnectionEvents;
    SkConnectionPoint m_cpLoaderEvents;

    std::u16string m_Address;
    SerialPort m_Port;
    OdsSerialLoaderPart m_Loader;
    CompletionQueue m_Completions;  // the connection's events
};
