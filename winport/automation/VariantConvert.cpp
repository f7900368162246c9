// VariantChangeType for the types that cross automation interfaces here:
// integers, booleans, text and interface pointers.

#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "winport/automation/typelib.h"

namespace {

using Wide = __int128;

bool IsIntegerType(VARTYPE vt) {
    switch (vt) {
        case VT_I1:
        case VT_UI1:
        case VT_I2:
        case VT_UI2:
        case VT_I4:
        case VT_UI4:
        case VT_INT:
        case VT_UINT:
        case VT_I8:
        case VT_UI8:
            return true;
        default:
            return false;
    }
}

bool Range(VARTYPE vt, Wide* low, Wide* high) {
    switch (vt) {
        case VT_I1:
            *low = INT8_MIN;
            *high = INT8_MAX;
            return true;
        case VT_UI1:
            *low = 0;
            *high = UINT8_MAX;
            return true;
        case VT_I2:
            *low = INT16_MIN;
            *high = INT16_MAX;
            return true;
        case VT_UI2:
            *low = 0;
            *high = UINT16_MAX;
            return true;
        case VT_I4:
        case VT_INT:
            *low = INT32_MIN;
            *high = INT32_MAX;
            return true;
        case VT_UI4:
        case VT_UINT:
            *low = 0;
            *high = UINT32_MAX;
            return true;
        case VT_I8:
            *low = INT64_MIN;
            *high = INT64_MAX;
            return true;
        case VT_UI8:
            *low = 0;
            *high = static_cast<Wide>(UINT64_MAX);
            return true;
        default:
            return false;
    }
}

Wide IntegerOf(const VARIANT& v) {
    switch (v.vt) {
        case VT_I1:
            return v.cVal;
        case VT_UI1:
            return v.bVal;
        case VT_I2:
            return v.iVal;
        case VT_UI2:
            return v.uiVal;
        case VT_I4:
        case VT_INT:
            return v.lVal;
        case VT_UI4:
        case VT_UINT:
            return v.ulVal;
        case VT_I8:
            return v.llVal;
        case VT_UI8:
            return static_cast<Wide>(v.ullVal);
        default:
            return 0;
    }
}

HRESULT RoundReal(double value, Wide* out) {
    if (!std::isfinite(value) || std::fabs(value) > 1.8e19)
        return DISP_E_OVERFLOW;
    *out = static_cast<Wide>(std::nearbyint(value));  // halves to even, as automation rounds
    return S_OK;
}

bool EqualsNoCase(const std::string& a, const char* b) {
    if (a.size() != std::strlen(b))
        return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(a[i])) != b[i])
            return false;
    return true;
}

HRESULT ParseNumber(BSTR text, Wide* out) {
    std::string s = winport::BstrToAnsi(text);
    size_t first = s.find_first_not_of(" \t");
    size_t last = s.find_last_not_of(" \t");
    if (first == std::string::npos)
        return DISP_E_TYPEMISMATCH;
    s = s.substr(first, last - first + 1);
    if (EqualsNoCase(s, "true"))
        return *out = -1, S_OK;
    if (EqualsNoCase(s, "false"))
        return *out = 0, S_OK;
    size_t i = s[0] == '-' || s[0] == '+' ? 1 : 0;
    bool digitsOnly = i < s.size() && s.find_first_not_of("0123456789", i) == std::string::npos;
    if (digitsOnly) {
        Wide value = 0;
        for (size_t k = i; k < s.size(); ++k) {
            value = value * 10 + (s[k] - '0');
            if (value > static_cast<Wide>(UINT64_MAX))
                return DISP_E_OVERFLOW;
        }
        *out = s[0] == '-' ? -value : value;
        return S_OK;
    }
    char* end = nullptr;
    double real = std::strtod(s.c_str(), &end);
    if (end != s.c_str() + s.size())
        return DISP_E_TYPEMISMATCH;
    return RoundReal(real, out);
}

HRESULT ToInteger(const VARIANT& source, Wide* out) {
    if (IsIntegerType(source.vt))
        return *out = IntegerOf(source), S_OK;
    switch (source.vt) {
        case VT_EMPTY:
            *out = 0;
            return S_OK;
        case VT_BOOL:
            *out = source.boolVal ? -1 : 0;
            return S_OK;
        case VT_R4:
            return RoundReal(source.fltVal, out);
        case VT_R8:
            return RoundReal(source.dblVal, out);
        case VT_BSTR:
            return ParseNumber(source.bstrVal, out);
        default:
            return DISP_E_TYPEMISMATCH;
    }
}

void StoreInteger(VARTYPE vt, Wide value, VARIANT* out) {
    VariantInit(out);
    out->vt = vt;
    switch (vt) {
        case VT_I1:
            out->cVal = static_cast<CHAR>(value);
            break;
        case VT_UI1:
            out->bVal = static_cast<BYTE>(value);
            break;
        case VT_I2:
            out->iVal = static_cast<SHORT>(value);
            break;
        case VT_UI2:
            out->uiVal = static_cast<USHORT>(value);
            break;
        case VT_I4:
        case VT_INT:
            out->lVal = static_cast<LONG>(value);
            break;
        case VT_UI4:
        case VT_UINT:
            out->ulVal = static_cast<ULONG>(value);
            break;
        case VT_I8:
            out->llVal = static_cast<LONGLONG>(value);
            break;
        default:
            out->ullVal = static_cast<ULONGLONG>(value);
            break;
    }
}

std::string DecimalText(Wide value) {
    bool negative = value < 0;
    unsigned __int128 magnitude = negative ? static_cast<unsigned __int128>(-value) : value;
    std::string digits;
    do {
        digits.insert(digits.begin(), static_cast<char>('0' + static_cast<int>(magnitude % 10)));
        magnitude /= 10;
    } while (magnitude);
    return negative ? "-" + digits : digits;
}

HRESULT ToText(const VARIANT& source, VARIANT* out) {
    std::string text;
    if (IsIntegerType(source.vt)) {
        text = DecimalText(IntegerOf(source));
    } else if (source.vt == VT_BOOL) {
        text = source.boolVal ? "True" : "False";
    } else if (source.vt == VT_R4 || source.vt == VT_R8) {
        char buffer[32];
        std::snprintf(buffer, sizeof buffer, source.vt == VT_R4 ? "%.7g" : "%.15g",
                      source.vt == VT_R4 ? static_cast<double>(source.fltVal) : source.dblVal);
        text = buffer;
    } else if (source.vt != VT_EMPTY) {
        return DISP_E_TYPEMISMATCH;
    }
    VariantInit(out);
    out->bstrVal = winport::AnsiToBstr(text);
    if (!out->bstrVal)
        return E_OUTOFMEMORY;
    out->vt = VT_BSTR;
    return S_OK;
}

HRESULT ToInterface(const VARIANT& source, VARTYPE vt, VARIANT* out) {
    if (source.vt != VT_DISPATCH && source.vt != VT_UNKNOWN)
        return DISP_E_TYPEMISMATCH;
    VariantInit(out);
    out->vt = vt;
    if (!source.punkVal)
        return S_OK;
    if (vt == VT_UNKNOWN) {
        out->punkVal = source.punkVal;
        out->punkVal->AddRef();
        return S_OK;
    }
    void* dispatch = nullptr;
    if (FAILED(source.punkVal->QueryInterface(IID_IDispatch, &dispatch))) {
        out->vt = VT_EMPTY;
        return DISP_E_TYPEMISMATCH;
    }
    out->pdispVal = static_cast<IDispatch*>(dispatch);
    return S_OK;
}

// The value a by-reference variant points to, as a variant that owns nothing.
bool Dereference(const VARIANT& source, VARIANT* view) {
    VARTYPE vt = static_cast<VARTYPE>(source.vt & ~VT_BYREF);
    if (!source.byref)
        return false;
    VariantInit(view);
    view->vt = vt;
    switch (vt) {
        case VT_I1:
        case VT_UI1:
            std::memcpy(&view->bVal, source.byref, 1);
            return true;
        case VT_I2:
        case VT_UI2:
        case VT_BOOL:
            std::memcpy(&view->iVal, source.byref, 2);
            return true;
        case VT_I4:
        case VT_UI4:
        case VT_INT:
        case VT_UINT:
        case VT_ERROR:
        case VT_R4:
            std::memcpy(&view->lVal, source.byref, 4);
            return true;
        case VT_I8:
        case VT_UI8:
        case VT_R8:
            std::memcpy(&view->llVal, source.byref, 8);
            return true;
        case VT_BSTR:
        case VT_DISPATCH:
        case VT_UNKNOWN:
            std::memcpy(&view->byref, source.byref, sizeof(void*));
            return true;
        default:
            return false;
    }
}

HRESULT Convert(const VARIANT& source, VARTYPE vt, VARIANT* out) {
    if (vt == VT_VARIANT || vt == source.vt)
        return VariantCopy(out, &source);
    if (vt == VT_EMPTY)
        return VariantInit(out), S_OK;
    if (vt == VT_BSTR)
        return ToText(source, out);
    if (vt == VT_DISPATCH || vt == VT_UNKNOWN)
        return ToInterface(source, vt, out);
    Wide low = 0, high = 0;
    if (vt != VT_BOOL && !Range(vt, &low, &high))
        return DISP_E_BADVARTYPE;
    Wide value = 0;
    HRESULT hr = ToInteger(source, &value);
    if (FAILED(hr))
        return hr;
    if (vt == VT_BOOL) {
        VariantInit(out);
        out->vt = VT_BOOL;
        out->boolVal = value ? VARIANT_TRUE : VARIANT_FALSE;
        return S_OK;
    }
    if (value < low || value > high)
        return DISP_E_OVERFLOW;
    StoreInteger(vt, value, out);
    return S_OK;
}

}  // namespace

HRESULT VariantChangeType(VARIANTARG* pvargDest, const VARIANTARG* pvarSrc, USHORT, VARTYPE vt) {
    if (!pvargDest || !pvarSrc)
        return E_INVALIDARG;
    const VARIANT* source = pvarSrc;
    // A variant by reference to a variant may itself be one; follow a few.
    for (int depth = 0; source->vt == (VT_BYREF | VT_VARIANT); ++depth) {
        if (!source->pvarVal || depth > 8)
            return DISP_E_TYPEMISMATCH;
        source = source->pvarVal;
    }
    VARIANT view;
    if (source->vt & VT_BYREF) {
        if (!Dereference(*source, &view))
            return DISP_E_TYPEMISMATCH;
        source = &view;
    }
    VARIANT result;
    VariantInit(&result);
    HRESULT hr = Convert(*source, vt, &result);
    if (FAILED(hr))
        return hr;
    VariantClear(pvargDest);
    *pvargDest = result;
    return S_OK;
}
