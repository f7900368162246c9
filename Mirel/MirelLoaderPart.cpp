#include "Mirel/MirelLoaderPart.h"

#include "Mirel/MirelEvents.h"
#include "common/objects/SkDispatch.h"
#include "common/objects/SkEventFiring.h"
#include "winport/com/ComEntry.h"

MirelLoaderPart::MirelLoaderPart(IUnknown* owner, MessageTransport& transport, SkConnectionPoint& events)
    : m_pOwner(owner),
      m_cpEvents(events),
      m_Engine(&transport, owner, &MirelLoaderPart::OnProgress, &MirelLoaderPart::OnComplete, this) {}

// Cancelled here rather than by the engine's destructor, while the part is
// still whole for the completion it fires.
MirelLoaderPart::~MirelLoaderPart() {
    m_Engine.Cancel();
}

HRESULT MirelLoaderPart::Load(BSTR bstrFileName, int nFlags) {
    // The whole name, embedded zeros included: the engine refuses those.
    return winport::ComEntry([&] { return m_Engine.Load(winport::BstrToAnsiLen(bstrFileName), nFlags); });
}

HRESULT MirelLoaderPart::Cancel() {
    return winport::ComEntry([&] { return m_Engine.Cancel(); });
}

void MirelLoaderPart::OnProgress(int nPercentage, void* user) {
    auto* self = static_cast<MirelLoaderPart*>(user);
    SkFireDispatchEvent(self->m_cpEvents, DISPID_OnLoadProgress, {static_cast<LONG>(nPercentage)});
}

void MirelLoaderPart::OnComplete(uint32_t lError, const char* pszDetails, void* user) {
    auto* self = static_cast<MirelLoaderPart*>(user);
    // An event whose text cannot be made is lost; nothing throws into the engine.
    winport::ComEntry([&] {
        return SkFireDispatchEvent(self->m_cpEvents, DISPID_OnLoadComplete,
                                   {static_cast<LONG>(lError), pszDetails});
    });
}
