// Registration, activation by ProgID and unloading, against a component
// library that the test only ever reaches through the registry.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <string>

#include "tests/support/TempRegistry.h"
#include "tests/winport/fixture/SampleComponent.h"
#include "winport/automation/typelib.h"
#include "winport/com/objbase.h"
#include "winport/host/Bstr.h"
#include "winport/registry/registry.h"

namespace {

using oskan::test::TempRegistry;

const std::string kServerPath = SAMPLE_SERVER_PATH;
const std::u16string kServerPathWide = winport::AnsiToUtf16(SAMPLE_SERVER_PATH);

// Runs one export of the server, loaded only for the call.
HRESULT RunExport(const char* name) {
    void* handle = dlopen(kServerPath.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle)
        return E_FAIL;
    auto function = reinterpret_cast<HRESULT (*)()>(dlsym(handle, name));
    HRESULT hr = function ? function() : E_NOTIMPL;
    dlclose(handle);
    return hr;
}

bool ServerIsLoaded() {
    void* handle = dlopen(kServerPath.c_str(), RTLD_NOW | RTLD_NOLOAD);
    if (!handle)
        return false;
    dlclose(handle);
    return true;
}

std::u16string Read(const std::u16string& path, const char16_t* name = nullptr) {
    std::u16string text;
    return winport::RegReadString(HKEY_CLASSES_ROOT, path.c_str(), name, &text) == ERROR_SUCCESS ? text
                                                                                                 : u"<none>";
}

std::string WinportPath() {
    Dl_info info{};
    dladdr(reinterpret_cast<void*>(&SysAllocString), &info);
    return info.dli_fname ? info.dli_fname : "";
}

class ActivationTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(ServerIsLoaded()) << "an earlier test left the server loaded";
        ASSERT_EQ(RunExport("DllRegisterServer"), S_OK);
    }
    void TearDown() override {
        CoFreeUnusedLibraries();
        EXPECT_FALSE(ServerIsLoaded()) << "the test left the server loaded";
    }

    static ComPtr<IDispatch> Create(const char16_t* progID) {
        CLSID clsid{};
        EXPECT_EQ(CLSIDFromProgID(progID, &clsid), S_OK);
        ComPtr<IDispatch> object;
        EXPECT_EQ(CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch,
                                   object.ReleaseAndGetVoidAddressOf()),
                  S_OK)
            << winport::LastActivationError();
        return object;
    }

    TempRegistry m_registry;
};

TEST_F(ActivationTest, RegistrationWritesTheClassAndItsTypeLibrary) {
    const std::u16string clsid = u"CLSID\\{5A3E0C72-2F41-4B8E-9D10-6C210A553B02}";
    EXPECT_EQ(Read(u"Sample.Counter"), u"Sample Counter");
    EXPECT_EQ(Read(u"Sample.Counter\\CurVer"), u"Sample.Counter.1");
    EXPECT_EQ(Read(clsid + u"\\InprocServer32"), kServerPathWide);
    EXPECT_EQ(Read(clsid + u"\\InprocServer32", u"ThreadingModel"), u"Apartment");
    EXPECT_EQ(Read(clsid + u"\\TypeLib"), u"{5A3E0C71-2F41-4B8E-9D10-6C210A553B01}");
    const std::u16string lib = u"TypeLib\\{5A3E0C71-2F41-4B8E-9D10-6C210A553B01}\\1.0";
    EXPECT_EQ(Read(lib), u"Sample Objects 1.0");
    EXPECT_EQ(Read(lib + u"\\0\\win64"), kServerPathWide);
    const std::u16string iface = u"Interface\\{5A3E0C73-2F41-4B8E-9D10-6C210A553B03}";
    EXPECT_EQ(Read(iface), u"ISampleCounter");
    EXPECT_EQ(Read(iface + u"\\ProxyStubClsid32"), u"{00020424-0000-0000-C000-000000000046}");
    EXPECT_EQ(Read(iface + u"\\TypeLib", u"Version"), u"1.0");
    EXPECT_EQ(Read(u"Interface\\{5A3E0C74-2F41-4B8E-9D10-6C210A553B04}\\ProxyStubClsid32"),
              u"{00020420-0000-0000-C000-000000000046}");
    EXPECT_EQ(Read(u"Interface\\{5A3E0C75-2F41-4B8E-9D10-6C210A553B05}"), u"<none>");  // custom interface

    winport::Bstr path;
    ASSERT_EQ(QueryPathOfRegTypeLib(LIBID_SampleLib, 1, 0, 0x409, &path), S_OK);  // falls back to LCID 0
    EXPECT_EQ(winport::BstrToU16(path.get()), kServerPathWide);
    EXPECT_EQ(QueryPathOfRegTypeLib(LIBID_SampleLib, 1, 1, 0, &path), TYPE_E_LIBNOTREGISTERED);
    EXPECT_EQ(QueryPathOfRegTypeLib(LIBID_SampleLib, 2, 0, 0, &path), TYPE_E_LIBNOTREGISTERED);

    LPOLESTR progID = nullptr;
    ASSERT_EQ(ProgIDFromCLSID(CLSID_SampleCounter, &progID), S_OK);
    EXPECT_EQ(std::u16string(progID), u"Sample.Counter.1");
    CoTaskMemFree(progID);
}

TEST_F(ActivationTest, RegisteringTwiceLeavesOneSetOfEntriesAndUnregisteringRemovesThem) {
    winport::RegWriteString(HKEY_CLASSES_ROOT, u"CLSID\\{00000000-1111-2222-3333-444444444444}", nullptr,
                            u"other");
    const std::string once = m_registry.Text();
    ASSERT_EQ(RunExport("DllRegisterServer"), S_OK);
    EXPECT_EQ(m_registry.Text(), once);

    ASSERT_EQ(RunExport("DllUnregisterServer"), S_OK);
    EXPECT_EQ(Read(u"Sample.Counter"), u"<none>");
    EXPECT_EQ(Read(u"Sample.Counter.1"), u"<none>");
    EXPECT_EQ(Read(u"CLSID\\{5A3E0C72-2F41-4B8E-9D10-6C210A553B02}"), u"<none>");
    EXPECT_EQ(Read(u"Interface\\{5A3E0C73-2F41-4B8E-9D10-6C210A553B03}"), u"<none>");
    EXPECT_EQ(m_registry.Text().find("TypeLib\\{5A3E0C71"), std::string::npos) << m_registry.Text();
    EXPECT_EQ(Read(u"CLSID\\{00000000-1111-2222-3333-444444444444}"), u"other");
    ComPtr<ITypeLib> library;
    EXPECT_EQ(LoadRegTypeLib(LIBID_SampleLib, 1, 0, 0, library.ReleaseAndGetAddressOf()),
              TYPE_E_LIBNOTREGISTERED);
    // Unregistering again finds nothing to remove, and that is no failure.
    EXPECT_EQ(RunExport("DllUnregisterServer"), S_OK);
}

TEST_F(ActivationTest, ProgIDsResolveWithoutCaseAndThroughCurVer) {
    CLSID clsid{};
    EXPECT_EQ(CLSIDFromProgID(u"sAMPLE.cOUNTER", &clsid), S_OK);
    EXPECT_EQ(clsid, CLSID_SampleCounter);
    clsid = {};
    EXPECT_EQ(CLSIDFromProgID(u"SAMPLE.COUNTER.1", &clsid), S_OK);
    EXPECT_EQ(clsid, CLSID_SampleCounter);

    // CurVer is followed before the ProgID's own CLSID...
    winport::RegWriteString(HKEY_CLASSES_ROOT, u"Sample.Counter.2\\CLSID", nullptr,
                            u"{00000000-0000-0000-0000-000000000002}");
    winport::RegWriteString(HKEY_CLASSES_ROOT, u"Sample.Counter\\CurVer", nullptr, u"Sample.Counter.2");
    ASSERT_EQ(CLSIDFromProgID(u"Sample.Counter", &clsid), S_OK);
    EXPECT_EQ(clsid.Data4[7], 2);
    // ...and one that leads nowhere, or in a circle, leaves it.
    winport::RegWriteString(HKEY_CLASSES_ROOT, u"Sample.Counter\\CurVer", nullptr, u"Sample.Counter.9");
    ASSERT_EQ(CLSIDFromProgID(u"Sample.Counter", &clsid), S_OK);
    EXPECT_EQ(clsid, CLSID_SampleCounter);
    winport::RegWriteString(HKEY_CLASSES_ROOT, u"Loop.A\\CurVer", nullptr, u"Loop.B");
    winport::RegWriteString(HKEY_CLASSES_ROOT, u"Loop.B\\CurVer", nullptr, u"Loop.A");
    EXPECT_EQ(CLSIDFromProgID(u"Loop.A", &clsid), CO_E_CLASSSTRING);

    EXPECT_EQ(CLSIDFromProgID(u"Sample.Nothing", &clsid), CO_E_CLASSSTRING);
    EXPECT_NE(winport::LastActivationError().find("Sample.Nothing"), std::string::npos);
    EXPECT_EQ(CLSIDFromProgID(u"Bad\\Name", &clsid), CO_E_CLASSSTRING);
    EXPECT_EQ(CLSIDFromProgID(u"", &clsid), CO_E_CLASSSTRING);
    EXPECT_EQ(CLSIDFromProgID(nullptr, &clsid), E_INVALIDARG);
    winport::RegWriteString(HKEY_CLASSES_ROOT, u"Broken\\CLSID", nullptr, u"not a guid");
    EXPECT_EQ(CLSIDFromProgID(u"Broken", &clsid), CO_E_CLASSSTRING);
    EXPECT_EQ(CLSIDFromString(u"{5A3E0C72-2F41-4B8E-9D10-6C210A553B02}", &clsid), S_OK);
    EXPECT_EQ(clsid, CLSID_SampleCounter);
}

TEST_F(ActivationTest, ObjectsCreatedByProgIDAnswerLateBoundCallsFromTheRegisteredTypeLibrary) {
    ComPtr<IDispatch> counter = Create(u"sample.counter");
    ASSERT_TRUE(counter);
    const char16_t* names[] = {u"add"};
    DISPID add = 0;
    ASSERT_EQ(counter->GetIDsOfNames(IID_NULL, const_cast<LPOLESTR*>(names), 1, 0, &add), S_OK);
    EXPECT_EQ(add, 2);
    VARIANT amount;
    VariantInit(&amount);
    amount.vt = VT_I4;
    amount.lVal = 12;
    DISPPARAMS params{&amount, nullptr, 1, 0};
    VARIANT result;
    VariantInit(&result);
    ASSERT_EQ(counter->Invoke(add, IID_NULL, 0, DISPATCH_METHOD, &params, &result, nullptr, nullptr), S_OK);
    EXPECT_EQ(result.lVal, 12 * kSampleDefaultStep);
    EXPECT_EQ(
        counter->Invoke(add, IID_ISampleCounter, 0, DISPATCH_METHOD, &params, &result, nullptr, nullptr),
        DISP_E_UNKNOWNINTERFACE);
    ComPtr<ITypeInfo> info;
    ASSERT_EQ(counter->GetTypeInfo(0, 0, info.ReleaseAndGetAddressOf()), S_OK);
    TYPEATTR* attr = nullptr;
    ASSERT_EQ(info->GetTypeAttr(&attr), S_OK);
    EXPECT_EQ(attr->guid, IID_ISampleCounter);
    info->ReleaseTypeAttr(attr);
}

TEST_F(ActivationTest, WithoutRegistrationLateBindingFailsAndTheVtableWorks) {
    ComPtr<IDispatch> counter = Create(u"Sample.Counter");
    ASSERT_TRUE(counter);
    ASSERT_EQ(RunExport("DllUnregisterServer"), S_OK);
    const char16_t* names[] = {u"Add"};
    DISPID add = 0;
    EXPECT_EQ(counter->GetIDsOfNames(IID_NULL, const_cast<LPOLESTR*>(names), 1, 0, &add),
              TYPE_E_LIBNOTREGISTERED);
    DISPPARAMS none{nullptr, nullptr, 0, 0};
    EXPECT_EQ(counter->Invoke(1, IID_NULL, 0, DISPATCH_PROPERTYGET, &none, nullptr, nullptr, nullptr),
              TYPE_E_LIBNOTREGISTERED);
    ComPtr<ITypeInfo> info;
    EXPECT_EQ(counter->GetTypeInfo(0, 0, info.ReleaseAndGetAddressOf()), TYPE_E_LIBNOTREGISTERED);
    ComPtr<ISampleCounter> direct;
    ASSERT_EQ(counter.As(IID_ISampleCounter, &direct), S_OK);
    LONG result = 0;
    EXPECT_EQ(direct->Add(3, 2, &result), S_OK);
    EXPECT_EQ(result, 6);
}

TEST_F(ActivationTest, TheLibraryStaysWhileObjectsLocksOrClassObjectsAreHeldAndGoesAfter) {
    ComPtr<IDispatch> counter = Create(u"Sample.Counter");
    CoFreeUnusedLibraries();
    EXPECT_TRUE(ServerIsLoaded());
    counter.Reset();

    ComPtr<IClassFactory> factory;
    ASSERT_EQ(CoGetClassObject(CLSID_SampleCounter, CLSCTX_INPROC_SERVER, nullptr, IID_IClassFactory,
                               factory.ReleaseAndGetVoidAddressOf()),
              S_OK);
    CoFreeUnusedLibraries();
    EXPECT_TRUE(ServerIsLoaded());  // the class object holds a lock while referenced from outside

    EXPECT_EQ(factory->LockServer(TRUE), S_OK);
    factory.Reset();
    CoFreeUnusedLibraries();
    EXPECT_TRUE(ServerIsLoaded());  // the LockServer lock

    ASSERT_EQ(CoGetClassObject(CLSID_SampleCounter, CLSCTX_INPROC_SERVER, nullptr, IID_IClassFactory,
                               factory.ReleaseAndGetVoidAddressOf()),
              S_OK);
    EXPECT_EQ(factory->LockServer(FALSE), S_OK);
    EXPECT_EQ(factory->LockServer(FALSE), E_UNEXPECTED);  // nothing left to unlock
    factory.Reset();
    EXPECT_EQ(winport::LoadedServerCount(), 1u);
    CoFreeUnusedLibraries();
    EXPECT_FALSE(ServerIsLoaded());
    EXPECT_EQ(winport::LoadedServerCount(), 0u);

    // And it comes back on the next activation.
    counter = Create(u"Sample.Counter");
    EXPECT_TRUE(ServerIsLoaded());
}

TEST_F(ActivationTest, ClassObjectRules) {
    ComPtr<IClassFactory> factory;
    ASSERT_EQ(CoGetClassObject(CLSID_SampleCounter, CLSCTX_ALL, nullptr, IID_IClassFactory,
                               factory.ReleaseAndGetVoidAddressOf()),
              S_OK);
    ComPtr<IUnknown> object;
    ComPtr<IDispatch> outer = Create(u"Sample.Counter");  // any object will do as the outer one
    EXPECT_EQ(factory->CreateInstance(outer.Get(), IID_ISampleCounter, object.ReleaseAndGetVoidAddressOf()),
              CLASS_E_NOAGGREGATION);
    EXPECT_FALSE(object);
    EXPECT_EQ(factory->CreateInstance(nullptr, IID_ISampleCounter, nullptr), E_POINTER);
    EXPECT_EQ(factory->CreateInstance(nullptr, IID_IClassFactory, object.ReleaseAndGetVoidAddressOf()),
              E_NOINTERFACE);

    void* handle = dlopen(kServerPath.c_str(), RTLD_NOW | RTLD_NOLOAD);
    ASSERT_NE(handle, nullptr);
    auto getClassObject = reinterpret_cast<LPFNGETCLASSOBJECT>(dlsym(handle, "DllGetClassObject"));
    void* unknown = reinterpret_cast<void*>(1);
    EXPECT_EQ(getClassObject(IID_ISampleCounter, IID_IClassFactory, &unknown), CLASS_E_CLASSNOTAVAILABLE);
    EXPECT_EQ(unknown, nullptr);
    EXPECT_EQ(getClassObject(CLSID_SampleCounter, IID_IClassFactory, nullptr), E_POINTER);
    dlclose(handle);
    EXPECT_EQ(CoGetClassObject(CLSID_SampleCounter, CLSCTX_LOCAL_SERVER, nullptr, IID_IClassFactory,
                               factory.ReleaseAndGetVoidAddressOf()),
              REGDB_E_CLASSNOTREG);
}

TEST_F(ActivationTest, ClassesThatCannotBeActivatedSayWhy) {
    CLSID missing = CLSID_SampleCounter;
    missing.Data1 = 1;
    ComPtr<IUnknown> object;
    EXPECT_EQ(CoCreateInstance(missing, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown,
                               object.ReleaseAndGetVoidAddressOf()),
              REGDB_E_CLASSNOTREG);

    const std::u16string server = u"CLSID\\{00000001-2F41-4B8E-9D10-6C210A553B02}\\InprocServer32";
    winport::RegWriteString(HKEY_CLASSES_ROOT, server.c_str(), nullptr, u"/nonexistent/libGone.so");
    EXPECT_EQ(CoCreateInstance(missing, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown,
                               object.ReleaseAndGetVoidAddressOf()),
              CO_E_DLLNOTFOUND);
    EXPECT_NE(winport::LastActivationError().find("/nonexistent/libGone.so"), std::string::npos);

    winport::RegWriteString(HKEY_CLASSES_ROOT, server.c_str(), nullptr, winport::AnsiToUtf16(WinportPath()));
    EXPECT_EQ(CoCreateInstance(missing, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown,
                               object.ReleaseAndGetVoidAddressOf()),
              CO_E_ERRORINDLL);
    EXPECT_EQ(winport::LoadedServerCount(), 0u);

    m_registry.Write("torn [registry\n");
    EXPECT_EQ(CoCreateInstance(CLSID_SampleCounter, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown,
                               object.ReleaseAndGetVoidAddressOf()),
              REGDB_E_READREGDB);
    CLSID clsid{};
    EXPECT_EQ(CLSIDFromProgID(u"Sample.Counter", &clsid), REGDB_E_READREGDB);
}

TEST_F(ActivationTest, TypeLibrariesLoadOnlyFromComponentLibraries) {
    ComPtr<ITypeLib> library;
    EXPECT_EQ(LoadTypeLib(winport::AnsiToUtf16(WinportPath()).c_str(), library.ReleaseAndGetAddressOf()),
              TYPE_E_CANTLOADLIBRARY);
    EXPECT_EQ(LoadTypeLib(u"/nonexistent/lib.so", library.ReleaseAndGetAddressOf()), TYPE_E_CANTLOADLIBRARY);
    ASSERT_EQ(LoadTypeLib(kServerPathWide.c_str(), library.ReleaseAndGetAddressOf()), S_OK);
    EXPECT_FALSE(ServerIsLoaded());  // the tables were copied; the file is let go
    EXPECT_EQ(library->GetTypeInfoCount(), 5u);

    // A registration that points at a file that has gone.
    const std::u16string path = u"TypeLib\\{5A3E0C71-2F41-4B8E-9D10-6C210A553B01}\\1.0\\0\\win64";
    winport::RegWriteString(HKEY_CLASSES_ROOT, path.c_str(), nullptr, u"/nonexistent/libSample.so");
    EXPECT_EQ(LoadRegTypeLib(LIBID_SampleLib, 1, 0, 0, library.ReleaseAndGetAddressOf()),
              TYPE_E_CANTLOADLIBRARY);
    // Or at a file that holds another library.
    winport::RegWriteString(HKEY_CLASSES_ROOT,
                            u"TypeLib\\{00000000-0000-0000-0000-0000000000AA}\\1.0\\0\\win64", nullptr,
                            kServerPathWide);
    GUID other = {0, 0, 0, {0, 0, 0, 0, 0, 0, 0, 0xAA}};
    EXPECT_EQ(LoadRegTypeLib(other, 1, 0, 0, library.ReleaseAndGetAddressOf()), TYPE_E_LIBNOTREGISTERED);
}

TEST_F(ActivationTest, LibraryPathsThatAreNotAbsoluteAreNeverLoaded) {
    // Relative entries would load whatever the caller's working folder holds.
    const std::filesystem::path server(kServerPath);
    const std::filesystem::path previous = std::filesystem::current_path();
    std::filesystem::current_path(server.parent_path());
    const std::u16string clsidKey = u"CLSID\\" + winport::GuidToU16String(CLSID_SampleCounter);
    const std::u16string typeLibKey =
        u"TypeLib\\" + winport::GuidToU16String(LIBID_SampleLib) + u"\\1.0\\0\\win64";
    for (const std::string& relative :
         {"./" + server.filename().string(), server.filename().string(),
          "../" + server.parent_path().filename().string() + "/" + server.filename().string()}) {
        const std::u16string wide = winport::AnsiToUtf16(relative);
        ASSERT_EQ(winport::RegWriteString(HKEY_CLASSES_ROOT, (clsidKey + u"\\InprocServer32").c_str(),
                                          nullptr, wide),
                  ERROR_SUCCESS);
        ComPtr<IUnknown> object;
        EXPECT_EQ(CoCreateInstance(CLSID_SampleCounter, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown,
                                   object.ReleaseAndGetVoidAddressOf()),
                  CO_E_DLLNOTFOUND)
            << relative;
        EXPECT_NE(winport::LastActivationError().find("not an absolute path"), std::string::npos)
            << winport::LastActivationError();
        ASSERT_EQ(winport::RegWriteString(HKEY_CLASSES_ROOT, typeLibKey.c_str(), nullptr, wide),
                  ERROR_SUCCESS);
        ComPtr<ITypeLib> library;
        EXPECT_EQ(LoadRegTypeLib(LIBID_SampleLib, 1, 0, 0, library.ReleaseAndGetAddressOf()),
                  TYPE_E_CANTLOADLIBRARY)
            << relative;
        EXPECT_FALSE(ServerIsLoaded()) << relative;
    }
    std::filesystem::current_path(previous);
    // The absolute entry still loads.
    ASSERT_EQ(winport::RegWriteString(HKEY_CLASSES_ROOT, typeLibKey.c_str(), nullptr, kServerPathWide),
              ERROR_SUCCESS);
    ComPtr<ITypeLib> library;
    EXPECT_EQ(LoadRegTypeLib(LIBID_SampleLib, 1, 0, 0, library.ReleaseAndGetAddressOf()), S_OK);
}

}  // namespace
