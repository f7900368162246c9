// Loading type libraries from component library files, and their entries in
// the registry.

#include <dlfcn.h>

#include <cstdio>
#include <string>
#include <vector>

#include "winport/automation/TypeLibData.h"
#include "winport/automation/TypeLibObjects.h"
#include "winport/registry/RegistryTree.h"
#include "winport/registry/registry.h"

namespace {

// The interface marshallers Windows names for dispinterfaces and for dual and
// automation interfaces; kept so that the entries read as they would there.
constexpr char16_t kPSDispatch[] = u"{00020420-0000-0000-C000-000000000046}";
constexpr char16_t kPSOAInterface[] = u"{00020424-0000-0000-C000-000000000046}";

std::u16string Hex(unsigned value) {
    char text[16];
    std::snprintf(text, sizeof text, "%x", value);
    return winport::AnsiToUtf16(text);
}

std::u16string VersionText(WORD major, WORD minor) {
    return Hex(major) + u"." + Hex(minor);
}

const char16_t* PlatformKey(SYSKIND syskind) {
    switch (syskind) {
        case SYS_WIN16:
            return u"win16";
        case SYS_WIN32:
            return u"win32";
        case SYS_MAC:
            return u"mac";
        default:
            return u"win64";
    }
}

std::u16string TypeLibKey(REFGUID libid) {
    return u"TypeLib\\" + winport::GuidToU16String(libid);
}

// Reads "major.minor" (hexadecimal) of a version key's name.
bool ParseVersion(const std::u16string& name, WORD* major, WORD* minor) {
    std::string text = winport::Utf16ToAnsi(name);
    unsigned a = 0, b = 0;
    char rest = 0;
    if (std::sscanf(text.c_str(), "%x.%x%c", &a, &b, &rest) != 2 || a > 0xFFFF || b > 0xFFFF)
        return false;
    *major = static_cast<WORD>(a);
    *minor = static_cast<WORD>(b);
    return true;
}

std::vector<std::u16string> SubkeyNames(HKEY root, const std::u16string& path) {
    std::vector<std::u16string> names;
    HKEY key = nullptr;
    if (RegOpenKeyExW(root, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
        return names;
    for (DWORD i = 0;; ++i) {
        WCHAR name[256];
        DWORD length = 256;
        if (RegEnumKeyExW(key, i, name, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
            break;
        names.emplace_back(name, length);
    }
    RegCloseKey(key);
    return names;
}

// The registered version with the same major version and the highest minor
// version not below the one asked for.
bool FindVersion(REFGUID libid, WORD major, WORD minor, std::u16string* version) {
    int best = -1;
    for (const auto& name : SubkeyNames(HKEY_CLASSES_ROOT, TypeLibKey(libid))) {
        WORD a = 0, b = 0;
        if (!ParseVersion(name, &a, &b) || a != major || b < minor || b <= best)
            continue;
        best = b;
        *version = name;
    }
    return best >= 0;
}

HRESULT LoadedLibraryTables(const std::string& path, void** handle, const winport::TlbLibrary** tables) {
    *handle = dlopen(path.c_str(), RTLD_LAZY | RTLD_LOCAL);
    if (!*handle)
        return TYPE_E_CANTLOADLIBRARY;
    auto entry = reinterpret_cast<winport::TypeLibExportFunction>(dlsym(*handle, winport::kTypeLibExport));
    *tables = entry ? entry() : nullptr;
    if (*tables)
        return S_OK;
    dlclose(*handle);
    *handle = nullptr;
    return TYPE_E_CANTLOADLIBRARY;
}

bool IsAutomationInterface(const TYPEATTR* attr) {
    return attr->typekind == TKIND_DISPATCH ||
           (attr->typekind == TKIND_INTERFACE &&
            (attr->wTypeFlags & (TYPEFLAG_FOLEAUTOMATION | TYPEFLAG_FDUAL)));
}

LONG WriteInterfaceKey(ITypeInfo* info, TYPEATTR* attr, const std::u16string& libid,
                       const std::u16string& version) {
    BSTR name = nullptr;
    info->GetDocumentation(MEMBERID_NIL, &name, nullptr, nullptr, nullptr);
    std::u16string key = u"Interface\\" + winport::GuidToU16String(attr->guid);
    std::u16string nameText = winport::BstrToU16(name);
    SysFreeString(name);
    const char16_t* marshaller = attr->typekind == TKIND_DISPATCH && !(attr->wTypeFlags & TYPEFLAG_FDUAL)
                                     ? kPSDispatch
                                     : kPSOAInterface;
    LONG status = winport::RegWriteString(HKEY_CLASSES_ROOT, key.c_str(), nullptr, nameText);
    if (status == ERROR_SUCCESS)
        status = winport::RegWriteString(HKEY_CLASSES_ROOT, (key + u"\\ProxyStubClsid").c_str(), nullptr,
                                         marshaller);
    if (status == ERROR_SUCCESS)
        status = winport::RegWriteString(HKEY_CLASSES_ROOT, (key + u"\\ProxyStubClsid32").c_str(), nullptr,
                                         marshaller);
    if (status == ERROR_SUCCESS)
        status = winport::RegWriteString(HKEY_CLASSES_ROOT, (key + u"\\TypeLib").c_str(), nullptr, libid);
    if (status == ERROR_SUCCESS)
        status =
            winport::RegWriteString(HKEY_CLASSES_ROOT, (key + u"\\TypeLib").c_str(), u"Version", version);
    return status;
}

LONG WriteInterfaceKeys(ITypeLib* library, const std::u16string& libid, const std::u16string& version) {
    for (UINT i = 0; i < library->GetTypeInfoCount(); ++i) {
        ComPtr<ITypeInfo> info;
        TYPEATTR* attr = nullptr;
        if (FAILED(library->GetTypeInfo(i, info.ReleaseAndGetAddressOf())) ||
            FAILED(info->GetTypeAttr(&attr)))
            return ERROR_NOT_ENOUGH_MEMORY;
        LONG status =
            IsAutomationInterface(attr) ? WriteInterfaceKey(info.Get(), attr, libid, version) : ERROR_SUCCESS;
        info->ReleaseTypeAttr(attr);
        if (status != ERROR_SUCCESS)
            return status;
    }
    return ERROR_SUCCESS;
}

bool HasSubkeys(const std::u16string& path) {
    return !SubkeyNames(HKEY_CLASSES_ROOT, path).empty();
}

}  // namespace

namespace winport {

HRESULT CreateTypeLib(const TlbLibrary* tables, ITypeLib** pptlib) {
    if (!pptlib)
        return E_POINTER;
    *pptlib = nullptr;
    if (!tables)
        return E_INVALIDARG;
    HRESULT hr = S_OK;
    *pptlib = typelib::Library::Create(*tables, &hr);
    return hr;
}

}  // namespace winport

HRESULT LoadTypeLib(LPCOLESTR szFile, ITypeLib** pptlib) {
    if (!pptlib)
        return E_POINTER;
    *pptlib = nullptr;
    if (!szFile || !*szFile)
        return E_INVALIDARG;
    void* handle = nullptr;
    const winport::TlbLibrary* tables = nullptr;
    HRESULT hr = LoadedLibraryTables(winport::Utf16ToAnsi(szFile), &handle, &tables);
    if (FAILED(hr))
        return hr;
    hr = winport::CreateTypeLib(tables, pptlib);  // a copy: the file may go
    dlclose(handle);
    return hr;
}

HRESULT QueryPathOfRegTypeLib(REFGUID guid, USHORT wMaj, USHORT wMin, LCID lcid, BSTR* lpbstrPathName) {
    if (!lpbstrPathName)
        return E_INVALIDARG;
    *lpbstrPathName = nullptr;
    std::u16string version;
    if (!FindVersion(guid, wMaj, wMin, &version))
        return TYPE_E_LIBNOTREGISTERED;
    std::u16string base = TypeLibKey(guid) + u"\\" + version + u"\\";
    const LCID candidates[] = {lcid, lcid & 0x3FF, 0};
    for (LCID candidate : candidates) {
        std::u16string path;
        std::u16string key = base + Hex(candidate) + u"\\" + PlatformKey(SYS_NATIVE);
        LONG status = winport::RegReadString(HKEY_CLASSES_ROOT, key.c_str(), nullptr, &path);
        if (status == ERROR_FILE_NOT_FOUND)
            continue;
        if (status != ERROR_SUCCESS)
            return TYPE_E_REGISTRYACCESS;
        *lpbstrPathName = winport::U16ToBstr(path);
        return *lpbstrPathName ? S_OK : E_OUTOFMEMORY;
    }
    return TYPE_E_LIBNOTREGISTERED;
}

HRESULT LoadRegTypeLib(REFGUID rguid, WORD wVerMajor, WORD wVerMinor, LCID lcid, ITypeLib** pptlib) {
    if (!pptlib)
        return E_POINTER;
    *pptlib = nullptr;
    BSTR path = nullptr;
    HRESULT hr = QueryPathOfRegTypeLib(rguid, wVerMajor, wVerMinor, lcid, &path);
    if (FAILED(hr))
        return hr;
    ComPtr<ITypeLib> library;
    // Only an absolute path names one file, whatever the caller's working folder.
    hr = path[0] == u'/' ? LoadTypeLib(path, library.ReleaseAndGetAddressOf()) : TYPE_E_CANTLOADLIBRARY;
    SysFreeString(path);
    if (FAILED(hr))
        return hr;
    TLIBATTR* attr = nullptr;
    hr = library->GetLibAttr(&attr);
    if (FAILED(hr))
        return hr;
    // The file registered for this library may since hold another one.
    bool same = attr->guid == rguid && attr->wMajorVerNum == wVerMajor && attr->wMinorVerNum >= wVerMinor;
    library->ReleaseTLibAttr(attr);
    if (!same)
        return TYPE_E_LIBNOTREGISTERED;
    *pptlib = library.Detach();
    return S_OK;
}

HRESULT RegisterTypeLib(ITypeLib* ptlib, LPCOLESTR szFullPath, LPCOLESTR szHelpDir) {
    if (!ptlib || !szFullPath)
        return E_INVALIDARG;
    TLIBATTR* attr = nullptr;
    HRESULT hr = ptlib->GetLibAttr(&attr);
    if (FAILED(hr))
        return hr;
    TLIBATTR lib = *attr;
    ptlib->ReleaseTLibAttr(attr);
    BSTR name = nullptr, doc = nullptr;
    ptlib->GetDocumentation(-1, &name, &doc, nullptr, nullptr);
    std::u16string title = SysStringLen(doc) ? winport::BstrToU16(doc) : winport::BstrToU16(name);
    SysFreeString(name);
    SysFreeString(doc);

    std::u16string libid = winport::GuidToU16String(lib.guid);
    std::u16string version = VersionText(lib.wMajorVerNum, lib.wMinorVerNum);
    std::u16string key = TypeLibKey(lib.guid) + u"\\" + version;
    winport::RegistryTransaction transaction;
    LONG status = transaction.Status();
    if (status == ERROR_SUCCESS)
        status = winport::RegWriteString(HKEY_CLASSES_ROOT, key.c_str(), nullptr, title);
    if (status == ERROR_SUCCESS) {
        std::u16string pathKey = key + u"\\" + Hex(lib.lcid) + u"\\" + PlatformKey(lib.syskind);
        status = winport::RegWriteString(HKEY_CLASSES_ROOT, pathKey.c_str(), nullptr, szFullPath);
    }
    if (status == ERROR_SUCCESS)
        status = winport::RegWriteString(
            HKEY_CLASSES_ROOT, (key + u"\\FLAGS").c_str(), nullptr,
            Hex(lib.wLibFlags & (LIBFLAG_FRESTRICTED | LIBFLAG_FCONTROL | LIBFLAG_FHIDDEN)));
    if (status == ERROR_SUCCESS)
        status = winport::RegWriteString(HKEY_CLASSES_ROOT, (key + u"\\HELPDIR").c_str(), nullptr,
                                         szHelpDir ? szHelpDir : u"");
    if (status == ERROR_SUCCESS)
        status = WriteInterfaceKeys(ptlib, libid, version);
    if (status == ERROR_SUCCESS)
        status = transaction.Commit();
    return status == ERROR_SUCCESS ? S_OK : TYPE_E_REGISTRYACCESS;
}

HRESULT UnRegisterTypeLib(REFGUID libID, WORD wVerMajor, WORD wVerMinor, LCID lcid, SYSKIND syskind) {
    std::u16string libid = winport::GuidToU16String(libID);
    std::u16string version = VersionText(wVerMajor, wVerMinor);
    std::u16string libKey = TypeLibKey(libID);
    std::u16string versionKey = libKey + u"\\" + version;
    std::u16string lcidKey = versionKey + u"\\" + Hex(lcid);

    winport::RegistryTransaction transaction;
    if (transaction.Status() != ERROR_SUCCESS)
        return TYPE_E_REGISTRYACCESS;
    std::u16string path;
    if (winport::RegReadString(HKEY_CLASSES_ROOT, (lcidKey + u"\\" + PlatformKey(syskind)).c_str(), nullptr,
                               &path) != ERROR_SUCCESS)
        return TYPE_E_REGISTRYACCESS;

    // The interfaces that name this library and version.
    for (const auto& iid : SubkeyNames(HKEY_CLASSES_ROOT, u"Interface")) {
        std::u16string key = u"Interface\\" + iid + u"\\TypeLib";
        std::u16string owner, ownerVersion;
        if (winport::RegReadString(HKEY_CLASSES_ROOT, key.c_str(), nullptr, &owner) != ERROR_SUCCESS ||
            winport::RegReadString(HKEY_CLASSES_ROOT, key.c_str(), u"Version", &ownerVersion) !=
                ERROR_SUCCESS)
            continue;
        if (winport::registry::NamesEqual(owner, libid) && ownerVersion == version)
            RegDeleteTreeW(HKEY_CLASSES_ROOT, (u"Interface\\" + iid).c_str());
    }
    LONG status = RegDeleteTreeW(HKEY_CLASSES_ROOT, lcidKey.c_str());
    // The version goes with its last locale, the library with its last version.
    bool otherLocales = false;
    for (const auto& name : SubkeyNames(HKEY_CLASSES_ROOT, versionKey))
        if (name != u"FLAGS" && name != u"HELPDIR")
            otherLocales = true;
    if (status == ERROR_SUCCESS && !otherLocales)
        status = RegDeleteTreeW(HKEY_CLASSES_ROOT, versionKey.c_str());
    if (status == ERROR_SUCCESS && !HasSubkeys(libKey))
        status = RegDeleteTreeW(HKEY_CLASSES_ROOT, libKey.c_str());
    if (status == ERROR_SUCCESS)
        status = transaction.Commit();
    return status == ERROR_SUCCESS ? S_OK : TYPE_E_REGISTRYACCESS;
}
