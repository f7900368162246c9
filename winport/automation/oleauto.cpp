#include "winport/automation/oleauto.h"

#include <cstdlib>
#include <cstring>

namespace {

// The byte count stands in the 4 bytes before the first character.
constexpr size_t kPrefixBytes = sizeof(uint32_t);
constexpr size_t kMaxBstrBytes = 0x7FFFFFF0u;

thread_local int t_allocationsBeforeFailure = -1;

bool AllocationShouldFail() {
    if (t_allocationsBeforeFailure < 0) {
        return false;
    }
    if (t_allocationsBeforeFailure == 0) {
        t_allocationsBeforeFailure = -1;
        return true;
    }
    --t_allocationsBeforeFailure;
    return false;
}

// A string of `bytes` bytes, uninitialised, with its prefix and terminator set.
BSTR AllocateBstrBytes(size_t bytes) {
    if (bytes > kMaxBstrBytes || AllocationShouldFail()) {
        return nullptr;
    }
    // The terminator is one whole character, also after an odd byte count.
    auto* block = static_cast<unsigned char*>(std::malloc(kPrefixBytes + bytes + sizeof(OLECHAR)));
    if (block == nullptr) {
        return nullptr;
    }
    const uint32_t count = static_cast<uint32_t>(bytes);
    std::memcpy(block, &count, sizeof(count));
    block[kPrefixBytes + bytes] = 0;
    block[kPrefixBytes + bytes + 1] = 0;
    return reinterpret_cast<BSTR>(block + kPrefixBytes);
}

uint32_t BstrByteCount(BSTR bstr) {
    uint32_t count;
    std::memcpy(&count, reinterpret_cast<const unsigned char*>(bstr) - kPrefixBytes, sizeof(count));
    return count;
}

size_t OleStrLen(const OLECHAR* psz) {
    size_t n = 0;
    while (psz[n] != 0) {
        ++n;
    }
    return n;
}

bool IsCarriedScalar(VARTYPE vt) {
    switch (vt) {
        case VT_EMPTY:
        case VT_NULL:
        case VT_I2:
        case VT_I4:
        case VT_R4:
        case VT_R8:
        case VT_CY:
        case VT_DATE:
        case VT_ERROR:
        case VT_BOOL:
        case VT_DECIMAL:
        case VT_I1:
        case VT_UI1:
        case VT_UI2:
        case VT_UI4:
        case VT_I8:
        case VT_UI8:
        case VT_INT:
        case VT_UINT:
            return true;
        default:
            return false;
    }
}

// A reference to a value held elsewhere: owns nothing.
bool IsByRef(VARTYPE vt) {
    return (vt & VT_BYREF) != 0 && (vt & VT_ARRAY) == 0;
}

constexpr char32_t kReplacement = 0xFFFD;

void AppendUtf16(std::u16string& out, char32_t cp) {
    if (cp < 0x10000) {
        out.push_back(static_cast<char16_t>(cp));
    } else {
        cp -= 0x10000;
        out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
        out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
    }
}

void AppendUtf8(std::string& out, char32_t cp) {
    if (cp < 0x80) {
        out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
}

}  // namespace

BSTR SysAllocString(const OLECHAR* psz) {
    if (psz == nullptr) {
        return nullptr;
    }
    const size_t len = OleStrLen(psz);
    if (len > kMaxBstrBytes / sizeof(OLECHAR)) {
        return nullptr;
    }
    return SysAllocStringLen(psz, static_cast<UINT>(len));
}

BSTR SysAllocStringLen(const OLECHAR* pch, UINT len) {
    if (len > kMaxBstrBytes / sizeof(OLECHAR)) {
        return nullptr;
    }
    const size_t bytes = static_cast<size_t>(len) * sizeof(OLECHAR);
    BSTR bstr = AllocateBstrBytes(bytes);
    if (bstr == nullptr) {
        return nullptr;
    }
    if (pch != nullptr) {
        std::memcpy(bstr, pch, bytes);
    } else {
        std::memset(bstr, 0, bytes);
    }
    return bstr;
}

BSTR SysAllocStringByteLen(const char* psz, UINT len) {
    BSTR bstr = AllocateBstrBytes(len);
    if (bstr == nullptr) {
        return nullptr;
    }
    if (psz != nullptr) {
        std::memcpy(bstr, psz, len);
    } else {
        std::memset(bstr, 0, len);
    }
    return bstr;
}

BOOL SysReAllocString(BSTR* pbstr, const OLECHAR* psz) {
    if (pbstr == nullptr) {
        return FALSE;
    }
    BSTR copy = SysAllocString(psz);
    if (copy == nullptr && psz != nullptr) {
        return FALSE;
    }
    SysFreeString(*pbstr);
    *pbstr = copy;
    return TRUE;
}

UINT SysStringLen(BSTR bstr) {
    return bstr ? BstrByteCount(bstr) / sizeof(OLECHAR) : 0;
}

UINT SysStringByteLen(BSTR bstr) {
    return bstr ? BstrByteCount(bstr) : 0;
}

void SysFreeString(BSTR bstr) {
    if (bstr != nullptr) {
        std::free(reinterpret_cast<unsigned char*>(bstr) - kPrefixBytes);
    }
}

void VariantInit(VARIANTARG* pvarg) {
    if (pvarg != nullptr) {
        std::memset(pvarg, 0, sizeof(*pvarg));
        pvarg->vt = VT_EMPTY;
    }
}

HRESULT VariantClear(VARIANTARG* pvarg) {
    if (pvarg == nullptr) {
        return E_INVALIDARG;
    }
    const VARTYPE vt = pvarg->vt;
    if (vt != VT_BSTR && vt != VT_DISPATCH && vt != VT_UNKNOWN && !IsCarriedScalar(vt) && !IsByRef(vt)) {
        return DISP_E_BADVARTYPE;
    }
    // Empty the variant before letting go of its contents: a Release may run
    // code that looks at it again.
    const VARIANT old = *pvarg;
    pvarg->vt = VT_EMPTY;
    pvarg->llVal = 0;
    if (vt == VT_BSTR) {
        SysFreeString(old.bstrVal);
    } else if ((vt == VT_DISPATCH || vt == VT_UNKNOWN) && old.punkVal != nullptr) {
        old.punkVal->Release();
    }
    return S_OK;
}

HRESULT VariantCopy(VARIANTARG* pvargDest, const VARIANTARG* pvargSrc) {
    if (pvargDest == nullptr || pvargSrc == nullptr) {
        return E_INVALIDARG;
    }
    if (pvargDest == pvargSrc) {
        return S_OK;
    }
    const VARTYPE vt = pvargSrc->vt;
    if (vt != VT_BSTR && vt != VT_DISPATCH && vt != VT_UNKNOWN && !IsCarriedScalar(vt) && !IsByRef(vt)) {
        return DISP_E_BADVARTYPE;
    }
    HRESULT hr = VariantClear(pvargDest);
    if (FAILED(hr)) {
        return hr;
    }
    if (vt == VT_BSTR) {
        BSTR copy = nullptr;
        if (pvargSrc->bstrVal != nullptr) {
            copy = SysAllocStringByteLen(reinterpret_cast<const char*>(pvargSrc->bstrVal),
                                         SysStringByteLen(pvargSrc->bstrVal));
            if (copy == nullptr) {
                return E_OUTOFMEMORY;
            }
        }
        *pvargDest = *pvargSrc;
        pvargDest->bstrVal = copy;
        return S_OK;
    }
    *pvargDest = *pvargSrc;
    if ((vt == VT_DISPATCH || vt == VT_UNKNOWN) && pvargDest->punkVal != nullptr) {
        pvargDest->punkVal->AddRef();
    }
    return S_OK;
}

namespace winport {

std::u16string AnsiToUtf16(std::string_view text) {
    std::u16string out;
    out.reserve(text.size());
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    const size_t n = text.size();
    size_t i = 0;
    while (i < n) {
        const unsigned char lead = p[i];
        if (lead < 0x80) {
            out.push_back(lead);
            ++i;
            continue;
        }
        // The sequence length and the permitted range of the second byte
        // follow from the lead byte (this excludes overlong forms, surrogates
        // and values past U+10FFFF).
        size_t length;
        unsigned char secondLow = 0x80;
        unsigned char secondHigh = 0xBF;
        char32_t cp;
        if (lead >= 0xC2 && lead <= 0xDF) {
            length = 2;
            cp = lead & 0x1F;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            length = 3;
            cp = lead & 0x0F;
            if (lead == 0xE0) {
                secondLow = 0xA0;
            } else if (lead == 0xED) {
                secondHigh = 0x9F;
            }
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            length = 4;
            cp = lead & 0x07;
            if (lead == 0xF0) {
                secondLow = 0x90;
            } else if (lead == 0xF4) {
                secondHigh = 0x8F;
            }
        } else {
            out.push_back(static_cast<char16_t>(kReplacement));
            ++i;
            continue;
        }
        size_t used = 1;
        bool valid = true;
        while (used < length) {
            if (i + used >= n) {
                valid = false;
                break;
            }
            const unsigned char c = p[i + used];
            const unsigned char low = used == 1 ? secondLow : 0x80;
            const unsigned char high = used == 1 ? secondHigh : 0xBF;
            if (c < low || c > high) {
                valid = false;
                break;
            }
            cp = cp << 6 | (c & 0x3F);
            ++used;
        }
        // An invalid sequence is replaced as far as it went, and reading goes
        // on at the byte that broke it.
        AppendUtf16(out, valid ? cp : kReplacement);
        i += used;
    }
    return out;
}

std::string Utf16ToAnsi(std::u16string_view text) {
    std::string out;
    out.reserve(text.size());
    const size_t n = text.size();
    for (size_t i = 0; i < n; ++i) {
        char32_t cp = text[i];
        if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < n && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
            cp = 0x10000 + ((cp - 0xD800) << 10) + (text[i + 1] - 0xDC00);
            ++i;
        } else if (cp >= 0xD800 && cp <= 0xDFFF) {
            cp = kReplacement;
        }
        AppendUtf8(out, cp);
    }
    return out;
}

BSTR AnsiToBstr(const char* text, int length) {
    if (text == nullptr) {
        return nullptr;
    }
    return AnsiToBstr(length < 0 ? std::string_view(text)
                                 : std::string_view(text, static_cast<size_t>(length)));
}

BSTR AnsiToBstr(std::string_view text) {
    return U16ToBstr(AnsiToUtf16(text));
}

BSTR U16ToBstr(std::u16string_view text) {
    if (text.size() > kMaxBstrBytes / sizeof(OLECHAR)) {
        return nullptr;
    }
    return SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
}

std::string BstrToAnsi(const OLECHAR* text) {
    if (text == nullptr) {
        return std::string();
    }
    return Utf16ToAnsi(std::u16string_view(text, OleStrLen(text)));
}

std::string BstrToAnsiLen(BSTR bstr) {
    return Utf16ToAnsi(BstrToU16(bstr));
}

std::u16string BstrToU16(BSTR bstr) {
    if (bstr == nullptr) {
        return std::u16string();
    }
    return std::u16string(bstr, SysStringLen(bstr));
}

void SimulateBstrAllocationFailure(int count) {
    t_allocationsBeforeFailure = count < 0 ? -1 : count;
}

}  // namespace winport
