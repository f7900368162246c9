#include "common/objects/SkDispatch.h"

#include "common/objects/SkComponentModule.h"
#include "winport/com/ComEntry.h"

HRESULT SkDispatchGetTypeInfoCount(UINT* pctinfo) {
    if (!pctinfo)
        return E_POINTER;
    *pctinfo = 1;
    return S_OK;
}

HRESULT SkDispatchGetTypeInfo(REFIID iid, UINT iTInfo, LCID lcid, ITypeInfo** ppTInfo) {
    if (!ppTInfo)
        return E_POINTER;
    *ppTInfo = nullptr;
    if (iTInfo != 0)
        return DISP_E_BADINDEX;
    return winport::ComEntry([&] { return SkComponentModule().GetTypeInfo(iid, lcid, ppTInfo); });
}

HRESULT SkDispatchGetIDsOfNames(REFIID iid, REFIID riid, LPOLESTR* rgszNames, UINT cNames, LCID lcid,
                                DISPID* rgDispId) {
    if (riid != IID_NULL)
        return DISP_E_UNKNOWNINTERFACE;
    return winport::ComEntry([&] {
        ComPtr<ITypeInfo> info;
        HRESULT hr = SkComponentModule().GetTypeInfo(iid, lcid, info.ReleaseAndGetAddressOf());
        return FAILED(hr) ? hr : DispGetIDsOfNames(info.Get(), rgszNames, cNames, rgDispId);
    });
}

HRESULT SkDispatchInvoke(REFIID iid, IDispatch* self, DISPID dispIdMember, REFIID riid, LCID lcid,
                         WORD wFlags, DISPPARAMS* pDispParams, VARIANT* pVarResult, EXCEPINFO* pExcepInfo,
                         UINT* puArgErr) {
    if (riid != IID_NULL)
        return DISP_E_UNKNOWNINTERFACE;
    return winport::ComEntry([&] {
        ComPtr<ITypeInfo> info;
        HRESULT hr = SkComponentModule().GetTypeInfo(iid, lcid, info.ReleaseAndGetAddressOf());
        if (FAILED(hr))
            return hr;
        // The object may be released by whatever the member does.
        ComPtr<IDispatch> keepAlive(self);
        return DispInvoke(self, info.Get(), dispIdMember, wFlags, pDispParams, pVarResult, pExcepInfo,
                          puArgErr);
    });
}
