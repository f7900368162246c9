#include "winport/com/ComModule.h"

#include <dlfcn.h>

#include <climits>
#include <cstdlib>
#include <new>

#include "winport/com/ComEntry.h"
#include "winport/registry/Registrar.h"
#include "winport/registry/registry.h"

namespace winport {

// The standard class object: creates instances of one class. The module keeps
// one reference; every further reference holds a lock on the library, taken
// when the count rises to 2 and given back when it falls to 1.
class ClassFactory final : public IClassFactory {
public:
    ClassFactory(ComModule& module, const ComClassEntry& entry) : m_module(module), m_entry(entry) {}

    HRESULT QueryInterface(REFIID riid, void** ppv) override {
        if (!ppv)
            return E_POINTER;
        if (riid == IID_IUnknown || riid == IID_IClassFactory) {
            *ppv = static_cast<IClassFactory*>(this);
            AddRef();
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }

    ULONG AddRef() override {
        std::lock_guard lock(m_mutex);
        if (++m_count == 2)
            m_module.Lock();
        return m_count;
    }

    ULONG Release() override {
        ULONG count;
        {
            std::lock_guard lock(m_mutex);
            count = --m_count;
            if (count == 1)
                m_module.Unlock();
        }
        if (count == 0)
            delete this;
        return count;
    }

    HRESULT CreateInstance(IUnknown* pUnkOuter, REFIID riid, void** ppvObject) override {
        if (!ppvObject)
            return E_POINTER;
        *ppvObject = nullptr;
        if (pUnkOuter && riid != IID_IUnknown)
            return CLASS_E_NOAGGREGATION;
        try {
            return m_entry.createInstance(pUnkOuter, riid, ppvObject);
        } catch (const std::bad_alloc&) {
            return E_OUTOFMEMORY;
        }
    }

    HRESULT LockServer(BOOL fLock) override { return m_module.LockServer(fLock); }

    const ComClassEntry& Entry() const { return m_entry; }

private:
    ~ClassFactory() = default;

    ComModule& m_module;
    const ComClassEntry& m_entry;
    std::mutex m_mutex;
    ULONG m_count = 0;
};

ComModule::ComModule(const ComClassEntry* classes, size_t count, REFGUID libid, WORD majorVersion,
                     WORD minorVersion)
    : m_classes(classes),
      m_count(count),
      m_libid(libid),
      m_majorVersion(majorVersion),
      m_minorVersion(minorVersion),
      m_factories(count, nullptr) {}

ComModule::~ComModule() {
    for (ClassFactory* factory : m_factories)
        if (factory)
            factory->Release();
    m_typeInfos.clear();
}

LONG ComModule::Lock() {
    return ++m_lockCount;
}

LONG ComModule::Unlock() {
    return --m_lockCount;
}

HRESULT ComModule::LockServer(BOOL lock) {
    if (lock) {
        ++m_serverLocks;
        Lock();
        return S_OK;
    }
    LONG held = m_serverLocks.load();
    do {
        if (held <= 0)
            return E_UNEXPECTED;
    } while (!m_serverLocks.compare_exchange_weak(held, held - 1));
    Unlock();
    return S_OK;
}

HRESULT ComModule::GetClassObject(REFCLSID rclsid, REFIID riid, void** ppv) {
    if (!ppv)
        return E_POINTER;
    *ppv = nullptr;
    for (size_t i = 0; i < m_count; ++i) {
        if (*m_classes[i].clsid != rclsid)
            continue;
        ComPtr<ClassFactory> factory;
        {
            std::lock_guard lock(m_mutex);
            if (!m_factories[i]) {
                m_factories[i] = new (std::nothrow) ClassFactory(*this, m_classes[i]);
                if (!m_factories[i])
                    return E_OUTOFMEMORY;
                m_factories[i]->AddRef();  // the module's own reference
            }
            factory = m_factories[i];
        }
        return factory->QueryInterface(riid, ppv);
    }
    return CLASS_E_CLASSNOTAVAILABLE;
}

std::string ComModule::ModuleFileName() const {
    Dl_info info{};
    if (!dladdr(static_cast<const void*>(this), &info) || !info.dli_fname)
        return {};
    std::string name = info.dli_fname;
    if (!name.empty() && name[0] == '/')
        return name;
    char* resolved = realpath(name.c_str(), nullptr);
    if (!resolved)
        return name;
    name = resolved;
    std::free(resolved);
    return name;
}

std::string ComModule::LastError() const {
    std::lock_guard lock(m_mutex);
    return m_lastError;
}

HRESULT ComModule::RunClassScripts(const std::string& path, bool registering, std::string* error) const {
    for (size_t i = 0; i < m_count; ++i) {
        Registrar registrar;
        HRESULT hr = registrar.AddReplacement("MODULE", path);
        if (FAILED(hr))
            return hr;
        const auto& script = m_classes[i].registryScript;
        hr = registering ? registrar.Register(script) : registrar.Unregister(script);
        if (FAILED(hr)) {
            *error = "class " + GuidToString(*m_classes[i].clsid) + ": " + registrar.LastError();
            return hr;
        }
    }
    return S_OK;
}

HRESULT ComModule::RegisterServer() {
    return ComEntry([&] {
        std::string path = ModuleFileName();
        std::string error;
        RegistryTransaction transaction;
        HRESULT hr = transaction.Status() == ERROR_SUCCESS ? S_OK : HRESULT_FROM_WIN32(transaction.Status());
        if (SUCCEEDED(hr))
            hr = RunClassScripts(path, true, &error);
        if (SUCCEEDED(hr)) {
            std::u16string widePath = AnsiToUtf16(path);
            std::u16string folder = widePath.substr(0, widePath.rfind(u'/') + 1);
            ComPtr<ITypeLib> library;
            hr = LoadTypeLib(widePath.c_str(), library.ReleaseAndGetAddressOf());
            if (SUCCEEDED(hr))
                hr = RegisterTypeLib(library.Get(), widePath.c_str(), folder.c_str());
            if (FAILED(hr))
                error = std::string("type library: ") + ErrorText(static_cast<uint32_t>(hr));
        }
        LONG status = transaction.Commit();  // what was written before a failure stays
        if (SUCCEEDED(hr) && status != ERROR_SUCCESS) {
            hr = HRESULT_FROM_WIN32(status);
            error = std::string("registry: ") + ErrorText(status);
        }
        std::lock_guard lock(m_mutex);
        m_lastError = error;
        return hr;
    });
}

HRESULT ComModule::UnregisterServer() {
    return ComEntry([&] {
        std::string path = ModuleFileName();
        std::string error;
        RegistryTransaction transaction;
        HRESULT hr = transaction.Status() == ERROR_SUCCESS ? S_OK : HRESULT_FROM_WIN32(transaction.Status());
        if (SUCCEEDED(hr))
            hr = RunClassScripts(path, false, &error);
        BSTR registered = nullptr;
        if (SUCCEEDED(hr) &&
            SUCCEEDED(QueryPathOfRegTypeLib(m_libid, m_majorVersion, m_minorVersion, 0, &registered))) {
            hr = UnRegisterTypeLib(m_libid, m_majorVersion, m_minorVersion, 0, SYS_NATIVE);
            if (FAILED(hr))
                error = std::string("type library: ") + ErrorText(static_cast<uint32_t>(hr));
        }
        SysFreeString(registered);
        LONG status = transaction.Commit();
        if (SUCCEEDED(hr) && status != ERROR_SUCCESS) {
            hr = HRESULT_FROM_WIN32(status);
            error = std::string("registry: ") + ErrorText(status);
        }
        std::lock_guard lock(m_mutex);
        m_lastError = error;
        return hr;
    });
}

HRESULT ComModule::GetTypeInfo(REFIID iid, LCID lcid, ITypeInfo** ppTInfo) {
    if (!ppTInfo)
        return E_POINTER;
    *ppTInfo = nullptr;
    std::lock_guard lock(m_mutex);
    auto it = m_typeInfos.find(iid);
    if (it == m_typeInfos.end()) {
        ComPtr<ITypeLib> library;
        HRESULT hr =
            LoadRegTypeLib(m_libid, m_majorVersion, m_minorVersion, lcid, library.ReleaseAndGetAddressOf());
        if (FAILED(hr))
            return hr;
        ComPtr<ITypeInfo> info;
        hr = library->GetTypeInfoOfGuid(iid, info.ReleaseAndGetAddressOf());
        if (FAILED(hr))
            return hr;
        it = m_typeInfos.emplace(iid, info).first;
    }
    return it->second.CopyTo(ppTInfo);
}

}  // namespace winport
