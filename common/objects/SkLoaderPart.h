#pragma once
// The loader part of the device object: ISkLoader over the SkLoader engine,
// with its progress and completion fired as OnLoadProgress and OnLoadComplete
// on the device object's _ISkLoaderEvents connection point. The part lives
// inside the device object; its reference count is the device object's.

#include "Mirel/MirelInterfaces.h"
#include "common/objects/SkConnectionPoint.h"
#include "common/objects/SkObjectBase.h"
#include "common/skloader.h"

class SkLoaderPart final : public SkDispatchImpl<ISkLoader> {
public:
    // owner: the device object's identity, not counted; transport and events
    // belong to the device object and outlive the part.
    SkLoaderPart(IUnknown* owner, MessageTransport& transport, SkConnectionPoint& events);
    SkLoaderPart(const SkLoaderPart&) = delete;
    SkLoaderPart& operator=(const SkLoaderPart&) = delete;
    // A running upload completes as cancelled to the sinks still connected.
    ~SkLoaderPart();

    // IUnknown: the device object's.
    HRESULT QueryInterface(REFIID riid, void** ppvObject) override {
        return m_pOwner->QueryInterface(riid, ppvObject);
    }
    ULONG AddRef() override { return m_pOwner->AddRef(); }
    ULONG Release() override { return m_pOwner->Release(); }

    // ISkLoader
    HRESULT Load(BSTR bstrFileName, int nFlags) override;
    HRESULT Cancel() override;

    // For tests.
    const SkLoader& Engine() const { return m_Engine; }

private:
    static void OnProgress(int nPercentage, void* user);
    static void OnComplete(uint32_t lError, const char* pszDetails, void* user);

    IUnknown* const m_pOwner;
    SkConnectionPoint& m_cpEvents;
    SkLoader m_Engine;
};
