#pragma once
// Activation: classes found through the registry and created from the
// component library that serves them.
//
//   HKEY_CLASSES_ROOT\<ProgID>\CLSID = {CLSID}    (or CurVer = <versioned ProgID>)
//   HKEY_CLASSES_ROOT\CLSID\{CLSID}\InprocServer32 = full path of the library
//
// CoGetClassObject loads the library with dlopen on first use, keeps it loaded
// and asks its exported DllGetClassObject for the class object.
// CoFreeUnusedLibraries unloads every library whose DllCanUnloadNow returns
// S_OK. All functions may be called from any thread.

#include <string>

#include "winport/com/com.h"

constexpr DWORD CLSCTX_INPROC_SERVER = 0x1;
constexpr DWORD CLSCTX_INPROC_HANDLER = 0x2;
constexpr DWORD CLSCTX_LOCAL_SERVER = 0x4;
constexpr DWORD CLSCTX_REMOTE_SERVER = 0x10;
constexpr DWORD CLSCTX_INPROC = CLSCTX_INPROC_SERVER | CLSCTX_INPROC_HANDLER;
constexpr DWORD CLSCTX_SERVER = CLSCTX_INPROC_SERVER | CLSCTX_LOCAL_SERVER | CLSCTX_REMOTE_SERVER;
constexpr DWORD CLSCTX_ALL = CLSCTX_SERVER | CLSCTX_INPROC_HANDLER;

using LPVOID = void*;

// The exports of an in-process server.
using LPFNGETCLASSOBJECT = HRESULT (*)(REFCLSID, REFIID, void**);
using LPFNCANUNLOADNOW = HRESULT (*)();

// The CLSID of a ProgID, compared without regard to case. A ProgID with a
// CurVer key stands for that versioned ProgID. CO_E_CLASSSTRING when the
// ProgID is not registered; REGDB_E_READREGDB when the registry cannot be read.
HRESULT CLSIDFromProgID(LPCOLESTR lpszProgID, LPCLSID lpclsid);
// "{...}" read as a CLSID, anything else as a ProgID.
HRESULT CLSIDFromString(LPCOLESTR lpsz, LPCLSID pclsid);
// The versioned ProgID registered for a CLSID, allocated as a BSTR-free
// UTF-16 string the caller frees with CoTaskMemFree; REGDB_E_CLASSNOTREG
// when there is none.
HRESULT ProgIDFromCLSID(REFCLSID clsid, LPOLESTR* lplpszProgID);
void CoTaskMemFree(void* pv);

// REGDB_E_CLASSNOTREG when the class has no InprocServer32 entry (or only
// other contexts are asked for); CO_E_DLLNOTFOUND when its library cannot be
// loaded; CO_E_ERRORINDLL when the library exports no DllGetClassObject;
// otherwise what DllGetClassObject returns.
HRESULT CoGetClassObject(REFCLSID rclsid, DWORD dwClsContext, void* pvReserved, REFIID riid, LPVOID* ppv);
HRESULT CoCreateInstance(REFCLSID rclsid, IUnknown* pUnkOuter, DWORD dwClsContext, REFIID riid, LPVOID* ppv);
void CoFreeUnusedLibraries();

namespace winport {

// Why the last failed activation on this thread failed, for messages: the
// library path and the loader's error, or the missing registry entry.
std::string LastActivationError();

// The number of libraries activation holds loaded, for tests and tools.
size_t LoadedServerCount();

}  // namespace winport
