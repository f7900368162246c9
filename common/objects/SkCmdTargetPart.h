#pragma once
// The command target part of the device object: ISkCmdTarget over the
// SkCmdTarget engine, with every completion fired as OnCommandComplete on the
// device object's _ISkCmdTargetEvents connection point. The part lives inside
// the device object; its reference count is the device object's.

#include "Mirel/MirelInterfaces.h"
#include "common/SkCmdTarget.h"
#include "common/objects/SkConnectionPoint.h"
#include "common/objects/SkObjectBase.h"

class SkCmdTargetPart final : public SkDispatchImpl<ISkCmdTarget> {
public:
    // owner: the device object's identity, not counted; transport and events
    // belong to the device object and outlive the part.
    SkCmdTargetPart(IUnknown* owner, MessageTransport& transport, SkConnectionPoint& events);
    SkCmdTargetPart(const SkCmdTargetPart&) = delete;
    SkCmdTargetPart& operator=(const SkCmdTargetPart&) = delete;
    // Pending commands complete as cancelled to the sinks still connected.
    ~SkCmdTargetPart() = default;

    // IUnknown: the device object's.
    HRESULT QueryInterface(REFIID riid, void** ppvObject) override {
        return m_pOwner->QueryInterface(riid, ppvObject);
    }
    ULONG AddRef() override { return m_pOwner->AddRef(); }
    ULONG Release() override { return m_pOwner->Release(); }

    // ISkCmdTarget
    HRESULT get_Flags(LONG* pVal) override;
    HRESULT put_Flags(LONG newVal) override;
    HRESULT Command(BSTR bstrCommand, LONG lParam) override;
    HRESULT Cancel() override;

    // For tests.
    const SkCmdTarget& Engine() const { return m_Engine; }

private:
    static void OnCommandComplete(uint32_t error, const char* details, const char* response,
                                  int responseLength, void* user, LONG lParam);

    IUnknown* const m_pOwner;
    SkConnectionPoint& m_cpEvents;
    SkCmdTarget m_Engine;
};
