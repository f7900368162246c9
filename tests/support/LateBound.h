#pragma once
// Calls on an IDispatch by member name, as a script host makes them: the
// DISPID from GetIDsOfNames, the arguments in reverse in DISPPARAMS, the value
// of a property put as the named argument DISPID_PROPERTYPUT.

#include <initializer_list>
#include <iterator>
#include <string>
#include <vector>

#include "winport/automation/oleauto.h"
#include "winport/com/com.h"

namespace oskan::test {

// One argument; owns its string.
class Arg {
public:
    Arg(LONG value) {
        VariantInit(&m_value);
        m_value.vt = VT_I4;
        m_value.lVal = value;
    }
    Arg(const char* text) {
        VariantInit(&m_value);
        m_value.vt = VT_BSTR;
        m_value.bstrVal = winport::AnsiToBstr(text);
    }
    Arg(const Arg& other) {
        VariantInit(&m_value);
        VariantCopy(&m_value, &other.m_value);
    }
    Arg& operator=(const Arg&) = delete;
    ~Arg() { VariantClear(&m_value); }
    const VARIANT& Value() const { return m_value; }

private:
    VARIANT m_value;
};

// A result; cleared when it goes.
struct Result {
    Result() { VariantInit(&value); }
    ~Result() { VariantClear(&value); }
    Result(const Result&) = delete;
    Result& operator=(const Result&) = delete;
    LONG Int() const { return value.vt == VT_I4 || value.vt == VT_INT ? value.lVal : -999999; }
    std::string Text() const {
        return value.vt == VT_BSTR ? winport::BstrToAnsi(value.bstrVal) : "<not text>";
    }
    VARIANT value;
};

class LateBound {
public:
    explicit LateBound(IDispatch* object) : m_object(object) {}

    // The member's DISPID; the lookup's failure in *hr.
    DISPID Id(const char* name, HRESULT* hr = nullptr) const {
        std::u16string wide = winport::AnsiToUtf16(name);
        LPOLESTR names[] = {wide.data()};
        DISPID id = DISPID_UNKNOWN;
        HRESULT result = m_object->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id);
        if (hr)
            *hr = result;
        return id;
    }

    HRESULT Method(const char* name, std::initializer_list<Arg> args = {}, Result* result = nullptr,
                   EXCEPINFO* excep = nullptr) const {
        return Call(name, DISPATCH_METHOD, args, result, excep);
    }
    HRESULT Get(const char* name, Result* result, std::initializer_list<Arg> args = {}) const {
        return Call(name, DISPATCH_PROPERTYGET, args, result, nullptr);
    }
    HRESULT Put(const char* name, const Arg& value) const {
        return Call(name, DISPATCH_PROPERTYPUT, {value}, nullptr, nullptr);
    }

private:
    HRESULT Call(const char* name, WORD flags, std::initializer_list<Arg> args, Result* result,
                 EXCEPINFO* excep) const {
        HRESULT hr = S_OK;
        DISPID id = Id(name, &hr);
        if (FAILED(hr))
            return hr;
        std::vector<VARIANT> reversed;
        for (auto it = std::rbegin(args); it != std::rend(args); ++it)
            reversed.push_back(it->Value());
        DISPID put = DISPID_PROPERTYPUT;
        DISPPARAMS params{reversed.data(), flags == DISPATCH_PROPERTYPUT ? &put : nullptr,
                          static_cast<UINT>(reversed.size()), flags == DISPATCH_PROPERTYPUT ? 1u : 0u};
        return m_object->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, flags, &params,
                                result ? &result->value : nullptr, excep, nullptr);
    }

    IDispatch* m_object;
};

}  // namespace oskan::test
