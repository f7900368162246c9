#include "common/objects/SkLoaderPart.h"

#include "Mirel/MirelEvents.h"
#include "common/objects/SkDispatch.h"
#include "common/objects/SkEventFiring.h"
#include "winport/com/ComEntry.h"

SkLoaderPart::SkLoaderPart(IUnknown* owner, MessageTransport& transport, SkConnectionPoint& events)
    : m_pOwner(owner),
      m_cpEvents(events),
      m_Engine(&transport, owner, &SkLoaderPart::OnProgress, &SkLoaderPart::OnComplete, this) {}

// Cancelled here rather than by the engine's destructor, while the part is
// still whole for the completion it fires.
SkLoaderPart::~SkLoaderPart() {
    m_Engine.Cancel();
}

HRESULT SkLoaderPart::Load(BSTR bstrFileName, int nFlags) {
    // The whole name, embedded zeros included: the engine refuses those.
    return winport::ComEntry([&] { return m_Engine.Load(winport::BstrToAnsiLen(bstrFileName), nFlags); });
}

HRESULT SkLoaderPart::Cancel() {
    return winport::ComEntry([&] { return m_Engine.Cancel(); });
}

void SkLoaderPart::OnProgress(int nPercentage, void* user) {
    auto* self = static_cast<SkLoaderPart*>(user);
    SkFireDispatchEvent(self->m_cpEvents, DISPID_OnLoadProgress, {static_cast<LONG>(nPercentage)});
}

void SkLoaderPart::OnComplete(uint32_t lError, const char* pszDetails, void* user) {
    auto* self = static_cast<SkLoaderPart*>(user);
    // An event whose text cannot be made is lost; nothing throws into the engine.
    winport::ComEntry([&] {
        return SkFireDispatchEvent(self->m_cpEvents, DISPID_OnLoadComplete,
                                   {static_cast<LONG>(lError), pszDetails});
    });
}
