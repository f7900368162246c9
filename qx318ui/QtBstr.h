#pragma once
// Texts and numbers between the components' automation types and Qt's.

#include <QString>
#include <QStringView>

#include "winport/automation/oleauto.h"
#include "winport/automation/typelib.h"
#include "winport/host/Bstr.h"
#include "winport/host/DispatchSink.h"

namespace qx318ui {

inline QString FromBstr(BSTR text) {
    return text ? QString::fromUtf16(text, SysStringLen(text)) : QString();
}

// The text without a copy; valid while the BSTR lives.
inline QStringView ViewOf(BSTR text) {
    return text ? QStringView(text, SysStringLen(text)) : QStringView();
}

// A new BSTR of the text; get() is null when it cannot be allocated.
inline winport::Bstr ToBstr(const QString& text) {
    return winport::Bstr(
        SysAllocStringLen(reinterpret_cast<const OLECHAR*>(text.utf16()), static_cast<UINT>(text.size())));
}

// An event's integer argument, as any of the integer variant types carries it.
inline LONG IntArg(const DISPPARAMS& params, UINT i) {
    const VARIANT* v = winport::DispatchSink::Arg(params, i);
    if (!v)
        return 0;
    VARIANT converted;
    VariantInit(&converted);
    if (FAILED(VariantChangeType(&converted, v, 0, VT_I4)))
        return 0;
    return V_I4(&converted);
}

// An event's text argument; empty when it is missing or not a text.
inline QString TextArg(const DISPPARAMS& params, UINT i) {
    const VARIANT* v = winport::DispatchSink::Arg(params, i);
    return v && V_VT(v) == VT_BSTR ? FromBstr(V_BSTR(v)) : QString();
}

}  // namespace qx318ui
