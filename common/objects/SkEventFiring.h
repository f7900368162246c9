#pragma once
// Delivery of events to the sinks of a connection point.
//
// Dispatch events: for every connected sink, in slot order, the arguments are
// filled afresh into one VARIANT array in reverse order (the last argument at
// index 0): integers as VT_I4, texts as a new VT_BSTR for every sink (a text
// that cannot be allocated is passed as VT_ERROR with E_OUTOFMEMORY). The sink
// is called as IDispatch::Invoke(dispid, IID_NULL, LOCALE_USER_DEFAULT,
// DISPATCH_METHOD, {array, no named arguments}, no result, no exception
// information, no argument error), and its result is ignored. A sink may
// change or clear the variants it receives (VariantClear frees a string); the
// next sink gets fresh ones.
//
// Custom events: the member is called directly through the sink pointer, with
// the arguments as they are; the result is ignored.
//
// Both walk the sinks as SkConnectionPoint::ForEachSink does, holding the
// source object for the whole delivery; once it returns the object may be gone
// (see SkConnectionPoint.h).

#include <initializer_list>
#include <string>
#include <string_view>

#include "common/objects/SkConnectionPoint.h"
#include "winport/automation/oleauto.h"

// One argument of a dispatch event: an integer, or a text (UTF-16, or ANSI
// text converted here). The argument keeps a copy of its text, so the firing
// code's own string may change or go while the sinks run (a sink may start
// the next operation from inside the event). A null text pointer passes a null
// BSTR.
class SkEventArg {
public:
    enum class Kind { Integer, Text };

    SkEventArg(LONG value) : m_kind(Kind::Integer), m_value(value) {}
    SkEventArg(const OLECHAR* text) : m_kind(Kind::Text), m_bNull(text == nullptr) {
        if (text) {
            m_text = text;
        }
    }
    SkEventArg(std::u16string_view text) : m_kind(Kind::Text), m_text(text) {}
    SkEventArg(const char* ansiText) : m_kind(Kind::Text), m_bNull(ansiText == nullptr) {
        if (ansiText) {
            m_text = winport::AnsiToUtf16(ansiText);
        }
    }
    static SkEventArg Ansi(std::string_view ansiText) { return SkEventArg(winport::AnsiToUtf16(ansiText)); }

    Kind GetKind() const { return m_kind; }
    LONG Integer() const { return m_value; }
    const std::u16string& Text() const { return m_text; }
    bool IsNullText() const { return m_bNull; }

    // Fills an empty variant for one sink: VT_I4, VT_BSTR with a new string,
    // or VT_ERROR with E_OUTOFMEMORY.
    void FillVariant(VARIANT* v) const;

private:
    Kind m_kind;
    LONG m_value = 0;
    std::u16string m_text;
    bool m_bNull = false;
};

// Fires a dispatch event with the arguments in declaration order. S_OK, or
// E_OUTOFMEMORY when the argument array cannot be created (nothing is fired).
HRESULT SkFireDispatchEvent(SkConnectionPoint& point, DISPID dispid, const SkEventArg* args, size_t count);
inline HRESULT SkFireDispatchEvent(SkConnectionPoint& point, DISPID dispid,
                                   std::initializer_list<SkEventArg> args = {}) {
    return SkFireDispatchEvent(point, dispid, args.begin(), args.size());
}

// Fires a custom event: call(Interface* sink) for every connected sink, e.g.
//     SkFireCustomEvent<_ISkDebuggeeEvents>(m_cpDebuggee, [&](_ISkDebuggeeEvents* sink) {
//         return sink->OnError(lError, pszDetails);
//     });
// The stored sink pointer is the one the sink answered for the event IID.
template <class Interface, class Call>
void SkFireCustomEvent(SkConnectionPoint& point, Call&& call) {
    point.ForEachSink([&call](IUnknown* sink) {
        // The pointer stands for the event interface: that is what the sink
        // answered when it was connected.
        (void)call(static_cast<Interface*>(static_cast<void*>(sink)));
    });
}
