#include "common/objects/SkEventFiring.h"

#include <new>

void SkEventArg::FillVariant(VARIANT* v) const {
    if (m_kind == Kind::Integer) {
        v->vt = VT_I4;
        v->lVal = m_value;
        return;
    }
    if (m_bNull) {
        v->vt = VT_BSTR;
        v->bstrVal = nullptr;
        return;
    }
    BSTR text = winport::U16ToBstr(Text());
    if (text == nullptr) {
        v->vt = VT_ERROR;
        v->scode = E_OUTOFMEMORY;
        return;
    }
    v->vt = VT_BSTR;
    v->bstrVal = text;
}

HRESULT SkFireDispatchEvent(SkConnectionPoint& point, DISPID dispid, const SkEventArg* args, size_t count) {
    const UINT cArgs = static_cast<UINT>(count);
    VARIANT* variants = nullptr;
    if (cArgs > 0) {
        variants = new (std::nothrow) VARIANT[cArgs];
        if (variants == nullptr) {
            return E_OUTOFMEMORY;
        }
        for (UINT i = 0; i < cArgs; ++i) {
            VariantInit(&variants[i]);
        }
    }
    point.ForEachSink([&](IUnknown* sink) {
        for (UINT i = 0; i < cArgs; ++i) {
            // What the previous sink left in the variant goes; whatever it is,
            // the variant starts empty.
            VARIANT* v = &variants[cArgs - 1 - i];
            if (FAILED(VariantClear(v))) {
                VariantInit(v);
            }
            args[i].FillVariant(v);
        }
        DISPPARAMS params = {variants, nullptr, cArgs, 0};
        auto* dispatch = static_cast<IDispatch*>(static_cast<void*>(sink));
        (void)dispatch->Invoke(dispid, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &params, nullptr,
                               nullptr, nullptr);
    });
    // The source may be gone by now; only the local array is left to free.
    for (UINT i = 0; i < cArgs; ++i) {
        VariantClear(&variants[i]);
    }
    delete[] variants;
    return S_OK;
}
