#include "Mirel/MirelLoaderPart.h"

#include "Mirel/MirelEvents.h"
#include "Mirel/SkDispatch.h"
#include "Mirel/SkEventFiring.h"

MirelLoaderPart::MirelLoaderPart(IUnknown* owner, MessageTransport& transport, SkConnectionPoint& events)
    : m_pOwner(owner),
      m_cpEvents(events),
      m_Engine(&transport, owner, &MirelLoaderPart::OnProgress, &MirelLoaderPart::OnComplete, this) {}

// Cancelled here rather than by the engine's destructor, while the part is
// still whole for the completion it fires.
MirelLoaderPart::~MirelLoaderPart() {
    m_Engine.Cancel();
}

// IDispatch from the registered type library's description of ISkLoader.
HRESULT MirelLoaderPart::GetTypeInfoCount(UINT* pctinfo) {
    return SkDispatchGetTypeInfoCount(pctinfo);
}

HRESULT MirelLoaderPart::GetTypeInfo(UINT iTInfo, LCID lcid, ITypeInfo** ppTInfo) {
    return SkDispatchGetTypeInfo(IID_ISkLoader, iTInfo, lcid, ppTInfo);
}

HRESULT MirelLoaderPart::GetIDsOfNames(REFIID riid, LPOLESTR* rgszNames, UINT cNames, LCID lcid,
                                       DISPID* rgDispId) {
    return SkDispatchGetIDsOfNames(IID_ISkLoader, riid, rgszNames, cNames, lcid, rgDispId);
}

HRESULT MirelLoaderPart::Invoke(DISPID dispIdMember, REFIID riid, LCID lcid, WORD wFlags,
                                DISPPARAMS* pDispParams, VARIANT* pVarResult, EXCEPINFO* pExcepInfo,
                                UINT* puArgErr) {
    return SkDispatchInvoke(IID_ISkLoader, this, dispIdMember, riid, lcid, wFlags, pDispParams, pVarResult,
                            pExcepInfo, puArgErr);
}

HRESULT MirelLoaderPart::Load(BSTR bstrFileName, int nFlags) {
    // The whole name, embedded zeros included: the engine refuses those.
    return m_Engine.Load(winport::BstrToAnsiLen(bstrFileName), nFlags);
}

HRESULT MirelLoaderPart::Cancel() {
    return m_Engine.Cancel();
}

void MirelLoaderPart::OnProgress(int nPercentage, void* user) {
    auto* self = static_cast<MirelLoaderPart*>(user);
    SkFireDispatchEvent(self->m_cpEvents, DISPID_OnLoadProgress, {static_cast<LONG>(nPercentage)});
}

void MirelLoaderPart::OnComplete(uint32_t lError, const char* pszDetails, void* user) {
    auto* self = static_cast<MirelLoaderPart*>(user);
    SkFireDispatchEvent(self->m_cpEvents, DISPID_OnLoadComplete, {static_cast<LONG>(lError), pszDetails});
}
