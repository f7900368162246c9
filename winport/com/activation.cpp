#include <dlfcn.h>

#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "winport/automation/oleauto.h"
#include "winport/com/objbase.h"
#include "winport/registry/RegistryTree.h"
#include "winport/registry/registry.h"

namespace winport {

namespace {

// CurVer chains longer than this are taken for loops.
constexpr int kMaxCurVerDepth = 8;

struct LoadedServer {
    std::string path;
    void* handle;
    LPFNGETCLASSOBJECT getClassObject;
    LPFNCANUNLOADNOW canUnloadNow;  // null: never unloaded
};

// Held while a library is loaded, asked for a class object, or unloaded, so
// that no library goes while another thread is calling into it.
std::recursive_mutex& ServersMutex() {
    static std::recursive_mutex mutex;
    return mutex;
}

std::vector<LoadedServer>& Servers() {
    static std::vector<LoadedServer>* servers = new std::vector<LoadedServer>();
    return *servers;
}

thread_local std::string t_lastError;

HRESULT Fail(HRESULT hr, std::string message) {
    t_lastError = std::move(message);
    return hr;
}

bool IsValidProgID(std::u16string_view progID) {
    return !progID.empty() && progID.find_first_of(u"\\\r\n") == std::u16string_view::npos;
}

HRESULT ReadClsid(const std::u16string& progID, CLSID* clsid) {
    std::u16string text;
    LONG status = RegReadString(HKEY_CLASSES_ROOT, (progID + u"\\CLSID").c_str(), nullptr, &text);
    if (status == ERROR_FILE_NOT_FOUND)
        return Fail(CO_E_CLASSSTRING, "ProgID \"" + Utf16ToAnsi(progID) + "\" is not registered");
    if (status != ERROR_SUCCESS)
        return Fail(REGDB_E_READREGDB, "cannot read the registry: " + std::string(ErrorText(status)));
    if (!GuidFromString(text, clsid))
        return Fail(CO_E_CLASSSTRING, "ProgID \"" + Utf16ToAnsi(progID) + "\" names no valid CLSID");
    return S_OK;
}

HRESULT ResolveProgID(const std::u16string& progID, CLSID* clsid, int depth) {
    std::u16string current;
    LONG status = RegReadString(HKEY_CLASSES_ROOT, (progID + u"\\CurVer").c_str(), nullptr, &current);
    if (status != ERROR_SUCCESS && status != ERROR_FILE_NOT_FOUND)
        return Fail(REGDB_E_READREGDB, "cannot read the registry: " + std::string(ErrorText(status)));
    // A CurVer that leads nowhere leaves the ProgID's own CLSID.
    if (status == ERROR_SUCCESS && IsValidProgID(current) && !registry::NamesEqual(current, progID) &&
        depth < kMaxCurVerDepth && SUCCEEDED(ResolveProgID(current, clsid, depth + 1)))
        return S_OK;
    return ReadClsid(progID, clsid);
}

HRESULT ServerPath(REFCLSID clsid, std::string* path) {
    std::u16string key = u"CLSID\\" + GuidToU16String(clsid) + u"\\InprocServer32";
    std::u16string text;
    LONG status = RegReadString(HKEY_CLASSES_ROOT, key.c_str(), nullptr, &text);
    if (status == ERROR_FILE_NOT_FOUND || (status == ERROR_SUCCESS && text.empty()))
        return Fail(REGDB_E_CLASSNOTREG, "class " + GuidToString(clsid) + " is not registered");
    if (status != ERROR_SUCCESS)
        return Fail(REGDB_E_READREGDB, "cannot read the registry: " + std::string(ErrorText(status)));
    *path = Utf16ToAnsi(text);
    // dlopen would look a relative path up from the caller's working folder.
    if (path->front() != '/')
        return Fail(CO_E_DLLNOTFOUND, "cannot load " + *path + " for class " + GuidToString(clsid) +
                                          ": the registered library is not an absolute path");
    return S_OK;
}

HRESULT LoadServer(const std::string& path, LoadedServer** server) {
    for (auto& loaded : Servers()) {
        if (loaded.path == path) {
            *server = &loaded;
            return S_OK;
        }
    }
    void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
        const char* error = dlerror();
        return Fail(CO_E_DLLNOTFOUND, "cannot load " + path + ": " + (error ? error : "unknown error"));
    }
    auto getClassObject = reinterpret_cast<LPFNGETCLASSOBJECT>(dlsym(handle, "DllGetClassObject"));
    if (!getClassObject) {
        dlclose(handle);
        return Fail(CO_E_ERRORINDLL, path + " exports no DllGetClassObject");
    }
    auto canUnloadNow = reinterpret_cast<LPFNCANUNLOADNOW>(dlsym(handle, "DllCanUnloadNow"));
    Servers().push_back(LoadedServer{path, handle, getClassObject, canUnloadNow});
    *server = &Servers().back();
    return S_OK;
}

}  // namespace

std::string LastActivationError() {
    return t_lastError;
}

size_t LoadedServerCount() {
    std::lock_guard lock(ServersMutex());
    return Servers().size();
}

}  // namespace winport

HRESULT CLSIDFromProgID(LPCOLESTR lpszProgID, LPCLSID lpclsid) {
    if (!lpszProgID || !lpclsid)
        return E_INVALIDARG;
    std::u16string progID(lpszProgID);
    if (!winport::IsValidProgID(progID))
        return winport::Fail(CO_E_CLASSSTRING, "\"" + winport::Utf16ToAnsi(progID) + "\" is not a ProgID");
    CLSID clsid{};
    HRESULT hr = winport::ResolveProgID(progID, &clsid, 0);
    if (SUCCEEDED(hr))
        *lpclsid = clsid;
    return hr;
}

HRESULT CLSIDFromString(LPCOLESTR lpsz, LPCLSID pclsid) {
    if (!lpsz || !pclsid)
        return E_INVALIDARG;
    if (lpsz[0] == u'{')
        return winport::GuidFromString(std::u16string_view(lpsz), pclsid) ? S_OK : CO_E_CLASSSTRING;
    return CLSIDFromProgID(lpsz, pclsid);
}

HRESULT ProgIDFromCLSID(REFCLSID clsid, LPOLESTR* lplpszProgID) {
    if (!lplpszProgID)
        return E_INVALIDARG;
    *lplpszProgID = nullptr;
    std::u16string key = u"CLSID\\" + winport::GuidToU16String(clsid) + u"\\ProgID";
    std::u16string progID;
    LONG status = winport::RegReadString(HKEY_CLASSES_ROOT, key.c_str(), nullptr, &progID);
    if (status == ERROR_FILE_NOT_FOUND)
        return REGDB_E_CLASSNOTREG;
    if (status != ERROR_SUCCESS)
        return REGDB_E_READREGDB;
    auto* text = static_cast<LPOLESTR>(std::malloc((progID.size() + 1) * sizeof(OLECHAR)));
    if (!text)
        return E_OUTOFMEMORY;
    std::memcpy(text, progID.c_str(), (progID.size() + 1) * sizeof(OLECHAR));
    *lplpszProgID = text;
    return S_OK;
}

void CoTaskMemFree(void* pv) {
    std::free(pv);
}

HRESULT CoGetClassObject(REFCLSID rclsid, DWORD dwClsContext, void*, REFIID riid, LPVOID* ppv) {
    if (!ppv)
        return E_INVALIDARG;
    *ppv = nullptr;
    if (!(dwClsContext & CLSCTX_INPROC_SERVER))
        return winport::Fail(REGDB_E_CLASSNOTREG, "only in-process servers are supported");
    std::string path;
    HRESULT hr = winport::ServerPath(rclsid, &path);
    if (FAILED(hr))
        return hr;
    std::lock_guard lock(winport::ServersMutex());
    winport::LoadedServer* server = nullptr;
    hr = winport::LoadServer(path, &server);
    if (FAILED(hr))
        return hr;
    hr = server->getClassObject(rclsid, riid, ppv);
    if (FAILED(hr))
        winport::t_lastError =
            path + ": DllGetClassObject failed: " + winport::ErrorText(static_cast<uint32_t>(hr));
    return hr;
}

HRESULT CoCreateInstance(REFCLSID rclsid, IUnknown* pUnkOuter, DWORD dwClsContext, REFIID riid, LPVOID* ppv) {
    if (!ppv)
        return E_INVALIDARG;
    *ppv = nullptr;
    ComPtr<IClassFactory> factory;
    HRESULT hr = CoGetClassObject(rclsid, dwClsContext, nullptr, IID_IClassFactory,
                                  reinterpret_cast<void**>(factory.ReleaseAndGetAddressOf()));
    if (FAILED(hr))
        return hr;
    return factory->CreateInstance(pUnkOuter, riid, ppv);
}

void CoFreeUnusedLibraries() {
    std::lock_guard lock(winport::ServersMutex());
    auto& servers = winport::Servers();
    for (size_t i = 0; i < servers.size();) {
        winport::LoadedServer server = servers[i];
        if (!server.canUnloadNow || server.canUnloadNow() != S_OK) {
            ++i;
            continue;
        }
        servers.erase(servers.begin() + static_cast<std::ptrdiff_t>(i));
        dlclose(server.handle);
    }
}
