#pragma once
// The tables a component library compiles its type library into. A library
// exports them through
//
//     extern "C" const winport::TlbLibrary* OskanTypeLib();
//
// and LoadTypeLib reads them from there. Names are UTF-16 literals; every
// array comes with its count. Types of the library refer to each other by
// their index in TlbLibrary::types; the base interfaces IUnknown and IDispatch
// are kTlbIUnknown and kTlbIDispatch.
//
// Functions of interfaces and dual interfaces are listed in vtable order
// after the slots of their base interface (three for IUnknown, seven for
// IDispatch); a property with get and put takes two consecutive entries.

#include "winport/automation/typelib.h"

namespace winport {

constexpr ULONG kTlbFormat = 1;
constexpr int kTlbIUnknown = -2;
constexpr int kTlbIDispatch = -3;

// A type: the base type `vt`, reached through `pointers` levels of VT_PTR;
// VT_USERDEFINED names the library's type `userType`; a VT_CARRAY holds
// `elements` of `arrayOf`.
struct TlbType {
    VARTYPE vt = VT_EMPTY;
    BYTE pointers = 0;
    int userType = -1;
    ULONG elements = 0;
    VARTYPE arrayOf = VT_EMPTY;
};

struct TlbParam {
    const char16_t* name;
    TlbType type;
    USHORT flags = PARAMFLAG_FIN;  // PARAMFLAG_*
    LONG defaultValue = 0;         // with PARAMFLAG_FHASDEFAULT, given as VT_I4
};

struct TlbFunc {
    const char16_t* name;
    MEMBERID memid;
    INVOKEKIND invkind = INVOKE_FUNC;
    const TlbParam* params = nullptr;
    USHORT paramCount = 0;
    VARTYPE result = VT_HRESULT;  // VT_VOID for the methods of a dispinterface
    WORD flags = 0;               // FUNCFLAG_*
    const char16_t* doc = nullptr;
};

// An enumeration's constant (value) or a record's field (value = byte offset).
struct TlbVar {
    const char16_t* name;
    TlbType type;
    LONG value = 0;
    const char16_t* doc = nullptr;
};

// A base interface, or an interface of a coclass with its IMPLTYPEFLAG_*.
struct TlbImpl {
    int type;
    int flags = 0;
};

struct TlbTypeInfo {
    TYPEKIND kind;
    const char16_t* name;
    GUID guid;
    WORD flags = 0;  // TYPEFLAG_*
    const char16_t* doc = nullptr;
    const TlbImpl* impls = nullptr;
    USHORT implCount = 0;
    const TlbFunc* funcs = nullptr;
    USHORT funcCount = 0;
    const TlbVar* vars = nullptr;
    USHORT varCount = 0;
    ULONG size = 0;  // records: the size of one instance
};

struct TlbLibrary {
    ULONG format;  // kTlbFormat
    const char16_t* name;
    const char16_t* doc;
    GUID libid;
    WORD majorVersion;
    WORD minorVersion;
    LCID lcid;
    WORD flags;  // LIBFLAG_*
    const TlbTypeInfo* types;
    USHORT typeCount;
};

// The exported entry point's name and type.
inline constexpr char kTypeLibExport[] = "OskanTypeLib";
using TypeLibExportFunction = const TlbLibrary* (*)();

}  // namespace winport
