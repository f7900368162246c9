#pragma once
// Automation: BSTR, VARIANT, IDispatch with its parameter block, and the
// conversion of text between the ANSI code page (UTF-8 here) and UTF-16.
//
// A BSTR is UTF-16, preceded by a 4-byte count of its bytes (without the
// terminator) and followed by a zero character; it may hold embedded zeros.
// A null BSTR is a valid empty string.

#include <string>
#include <string_view>

#include "winport/com/com.h"

using BSTR = OLECHAR*;
using VARTYPE = unsigned short;
using VARIANT_BOOL = short;
using SCODE = LONG;
using DISPID = LONG;
using MEMBERID = DISPID;
using LONGLONG = int64_t;
using ULONGLONG = uint64_t;
using SHORT = int16_t;
using USHORT = uint16_t;
using CHAR = char;
using FLOAT = float;
using DOUBLE = double;
using DATE = double;

constexpr VARIANT_BOOL VARIANT_TRUE = -1;
constexpr VARIANT_BOOL VARIANT_FALSE = 0;

constexpr LCID LOCALE_NEUTRAL = 0x0000;
constexpr LCID LOCALE_USER_DEFAULT = 0x0400;
constexpr LCID LOCALE_SYSTEM_DEFAULT = 0x0800;

// Variant types (the ones the system uses are handled throughout; the other
// scalar types are only carried).
enum VARENUM : VARTYPE {
    VT_EMPTY = 0,
    VT_NULL = 1,
    VT_I2 = 2,
    VT_I4 = 3,
    VT_R4 = 4,
    VT_R8 = 5,
    VT_CY = 6,
    VT_DATE = 7,
    VT_BSTR = 8,
    VT_DISPATCH = 9,
    VT_ERROR = 10,
    VT_BOOL = 11,
    VT_VARIANT = 12,
    VT_UNKNOWN = 13,
    VT_DECIMAL = 14,
    VT_I1 = 16,
    VT_UI1 = 17,
    VT_UI2 = 18,
    VT_UI4 = 19,
    VT_I8 = 20,
    VT_UI8 = 21,
    VT_INT = 22,
    VT_UINT = 23,
    VT_ARRAY = 0x2000,
    VT_BYREF = 0x4000,
};

struct IDispatch;
// Type information is served by the type library support; opaque here.
struct ITypeInfo;

struct DECIMAL {
    USHORT wReserved;
    BYTE scale;
    BYTE sign;
    ULONG Hi32;
    ULONGLONG Lo64;
};

// The Windows layout: the type tag, three reserved words, and the value union
// (16 bytes on 64-bit, 8 on 32-bit; the whole VARIANT is 24 or 16 bytes).
struct VARIANT {
    union {
        struct {
            VARTYPE vt;
            WORD wReserved1;
            WORD wReserved2;
            WORD wReserved3;
            union {
                LONGLONG llVal;
                LONG lVal;
                BYTE bVal;
                SHORT iVal;
                FLOAT fltVal;
                DOUBLE dblVal;
                VARIANT_BOOL boolVal;
                SCODE scode;
                DATE date;
                BSTR bstrVal;
                IUnknown* punkVal;
                IDispatch* pdispVal;
                CHAR cVal;
                USHORT uiVal;
                ULONG ulVal;
                ULONGLONG ullVal;
                int intVal;
                UINT uintVal;
                LONG* plVal;
                BSTR* pbstrVal;
                VARIANT* pvarVal;
                void* byref;
                struct {
                    void* pvRecord;
                    void* pRecInfo;
                } brecVal;
            };
        };
        DECIMAL decVal;
    };
};
static_assert(sizeof(VARIANT) == 8 + 2 * sizeof(void*));
using VARIANTARG = VARIANT;
using LPVARIANT = VARIANT*;

#define V_VT(v) ((v)->vt)
#define V_I4(v) ((v)->lVal)
#define V_UI4(v) ((v)->ulVal)
#define V_I2(v) ((v)->iVal)
#define V_UI1(v) ((v)->bVal)
#define V_BOOL(v) ((v)->boolVal)
#define V_ERROR(v) ((v)->scode)
#define V_BSTR(v) ((v)->bstrVal)
#define V_UNKNOWN(v) ((v)->punkVal)
#define V_DISPATCH(v) ((v)->pdispVal)

struct DISPPARAMS {
    VARIANTARG* rgvarg;
    DISPID* rgdispidNamedArgs;
    UINT cArgs;
    UINT cNamedArgs;
};

struct EXCEPINFO {
    WORD wCode;
    WORD wReserved;
    BSTR bstrSource;
    BSTR bstrDescription;
    BSTR bstrHelpFile;
    DWORD dwHelpContext;
    void* pvReserved;
    HRESULT (*pfnDeferredFillIn)(EXCEPINFO*);
    SCODE scode;
};

constexpr WORD DISPATCH_METHOD = 0x1;
constexpr WORD DISPATCH_PROPERTYGET = 0x2;
constexpr WORD DISPATCH_PROPERTYPUT = 0x4;
constexpr WORD DISPATCH_PROPERTYPUTREF = 0x8;

constexpr DISPID DISPID_UNKNOWN = -1;
constexpr DISPID DISPID_VALUE = 0;
constexpr DISPID DISPID_PROPERTYPUT = -3;

struct IDispatch : public IUnknown {
    virtual HRESULT GetTypeInfoCount(UINT* pctinfo) = 0;
    virtual HRESULT GetTypeInfo(UINT iTInfo, LCID lcid, ITypeInfo** ppTInfo) = 0;
    virtual HRESULT GetIDsOfNames(REFIID riid, LPOLESTR* rgszNames, UINT cNames, LCID lcid,
                                  DISPID* rgDispId) = 0;
    virtual HRESULT Invoke(DISPID dispIdMember, REFIID riid, LCID lcid, WORD wFlags, DISPPARAMS* pDispParams,
                           VARIANT* pVarResult, EXCEPINFO* pExcepInfo, UINT* puArgErr) = 0;

protected:
    ~IDispatch() = default;
};

// BSTR allocation. Allocation fails (null) only when memory runs out or the
// length cannot be represented.
BSTR SysAllocString(const OLECHAR* psz);
// A string of len characters copied from pch, or left zeroed when pch is null.
BSTR SysAllocStringLen(const OLECHAR* pch, UINT len);
// A string of len bytes copied from psz (or zeroed), terminated by a zero character.
BSTR SysAllocStringByteLen(const char* psz, UINT len);
// Replaces *pbstr with a copy of psz; FALSE (with *pbstr unchanged) on failure.
BOOL SysReAllocString(BSTR* pbstr, const OLECHAR* psz);
UINT SysStringLen(BSTR bstr);
UINT SysStringByteLen(BSTR bstr);
void SysFreeString(BSTR bstr);

void VariantInit(VARIANTARG* pvarg);
// Frees what the variant owns (string, interface reference) and makes it
// VT_EMPTY; DISP_E_BADVARTYPE for a type it cannot clear.
HRESULT VariantClear(VARIANTARG* pvarg);
// Clears the destination, then copies: a string is duplicated, an interface
// gains a reference. E_OUTOFMEMORY (destination VT_EMPTY) when a string cannot
// be copied; DISP_E_BADVARTYPE for a type it cannot copy.
HRESULT VariantCopy(VARIANTARG* pvargDest, const VARIANTARG* pvargSrc);

namespace winport {

// ANSI (UTF-8) to UTF-16. Invalid input (stray continuation bytes, overlong
// forms, encoded surrogates, values past U+10FFFF, truncated sequences) becomes
// U+FFFD, one for each maximal invalid subsequence.
std::u16string AnsiToUtf16(std::string_view text);
// UTF-16 to ANSI (UTF-8). An unpaired surrogate becomes U+FFFD.
std::string Utf16ToAnsi(std::u16string_view text);

// A new BSTR from ANSI text of the given length in bytes (-1: up to the zero).
// Null for null text or when the string cannot be allocated.
BSTR AnsiToBstr(const char* text, int length = -1);
BSTR AnsiToBstr(std::string_view text);
// A new BSTR from UTF-16 text; null when it cannot be allocated.
BSTR U16ToBstr(std::u16string_view text);

// ANSI text of zero-terminated UTF-16 text (empty for null).
std::string BstrToAnsi(const OLECHAR* text);
// ANSI text of a whole BSTR, embedded zeros included.
std::string BstrToAnsiLen(BSTR bstr);
// The characters of a BSTR, embedded zeros included (empty for null).
std::u16string BstrToU16(BSTR bstr);

// Test support: the next `count` BSTR allocations on this thread succeed and
// the one after fails once, as if memory had run out; a negative count turns
// the simulation off (the default).
void SimulateBstrAllocationFailure(int count);

}  // namespace winport
