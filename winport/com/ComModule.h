#pragma once
// What an in-process component library keeps for its exports: the class table
// with a cached class object per class, the library's lock count, its
// registration, and the type information its dual interfaces are served from.
//
// A library holds one ComModule for its whole life and forwards its exports:
//
//     extern "C" HRESULT DllGetClassObject(REFCLSID c, REFIID i, void** p) { return
//     Module().GetClassObject(c, i, p); }
//
// The lock count is what DllCanUnloadNow looks at: every live object of the
// library holds one lock, as does every LockServer(TRUE), and a class object
// while anybody but the module holds a reference to it.

#include <atomic>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "winport/automation/typelib.h"
#include "winport/com/com.h"

namespace winport {

struct ComClassEntry {
    const CLSID* clsid;
    // Creates an instance; with an outer unknown (riid is then IID_IUnknown)
    // an aggregated one, whose inner unknown goes to *ppv.
    HRESULT (*createInstance)(IUnknown* outer, REFIID riid, void** ppv);
    // The class's registry script (winport/registry/Registrar.h), run with %MODULE%
    // set to the library's full path.
    const char* registryScript;
};

class ClassFactory;

class ComModule {
public:
    ComModule(const ComClassEntry* classes, size_t count, REFGUID libid, WORD majorVersion,
              WORD minorVersion);
    // Releases the class objects and the type information.
    ~ComModule();
    ComModule(const ComModule&) = delete;
    ComModule& operator=(const ComModule&) = delete;

    // Interlocked; they return the new count.
    LONG Lock();
    LONG Unlock();
    LONG LockCount() const { return m_lockCount.load(); }

    // LockServer of the class objects. An unlock without a lock to give back
    // is refused with E_UNEXPECTED: it would take away the lock of a live
    // object and let the library go from under it.
    HRESULT LockServer(BOOL lock);

    // DllGetClassObject: E_POINTER, CLASS_E_CLASSNOTAVAILABLE, or the class
    // object's QueryInterface for riid.
    HRESULT GetClassObject(REFCLSID rclsid, REFIID riid, void** ppv);
    // DllCanUnloadNow
    HRESULT CanUnloadNow() const { return LockCount() == 0 ? S_OK : S_FALSE; }
    // DllRegisterServer: the scripts of all classes in table order, stopping
    // at the first failure, then the type library; what was written before a
    // failure stays.
    HRESULT RegisterServer();
    // DllUnregisterServer
    HRESULT UnregisterServer();

    // The type information of one interface from the registered type library,
    // loaded on first use and kept for all objects until the module goes.
    // Without registration, the lookup's failure (TYPE_E_LIBNOTREGISTERED),
    // and nothing is kept, so that a later registration is seen.
    HRESULT GetTypeInfo(REFIID iid, LCID lcid, ITypeInfo** ppTInfo);

    // The full path of the library file this module lives in.
    std::string ModuleFileName() const;
    // Why the last registration failed, for messages.
    std::string LastError() const;

private:
    // Every class's registry script in table order, stopping at the first failure.
    HRESULT RunClassScripts(const std::string& path, bool registering, std::string* error) const;
    const ComClassEntry* m_classes;
    size_t m_count;
    GUID m_libid;
    WORD m_majorVersion;
    WORD m_minorVersion;

    std::atomic<LONG> m_lockCount{0};
    std::atomic<LONG> m_serverLocks{0};

    mutable std::mutex m_mutex;  // the class objects, the type information and the last error
    std::vector<ClassFactory*> m_factories;
    std::map<GUID, ComPtr<ITypeInfo>> m_typeInfos;
    std::string m_lastError;
};

}  // namespace winport
