#pragma once
// The basic Windows types, with the sizes the system's interfaces were
// designed for.

#include <cstddef>
#include <cstdint>

using BOOL = int;
using BYTE = uint8_t;
using WORD = uint16_t;
using DWORD = uint32_t;
using UINT = unsigned int;
using LONG = int32_t;
using ULONG = uint32_t;
using INT_PTR = intptr_t;
using UINT_PTR = uintptr_t;
using LONG_PTR = intptr_t;
using ULONG_PTR = uintptr_t;
using WPARAM = UINT_PTR;
using LPARAM = LONG_PTR;
using LRESULT = LONG_PTR;
using HRESULT = int32_t;
using LCID = DWORD;
using ATOM = WORD;
using LPCSTR = const char*;
using LPSTR = char*;
using WCHAR = char16_t;
using OLECHAR = char16_t;
using LPOLESTR = OLECHAR*;
using LPCOLESTR = const OLECHAR*;

#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif

constexpr WORD LOWORD(LPARAM v) {
    return static_cast<WORD>(static_cast<ULONG_PTR>(v) & 0xFFFF);
}
constexpr WORD HIWORD(LPARAM v) {
    return static_cast<WORD>((static_cast<ULONG_PTR>(v) >> 16) & 0xFFFF);
}
