// MIRELLib as the library file carries it: every function of every interface
// described at the vtable slot where the interface really has it, so that a
// late-bound call reaches the member it names.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "Mirel/MirelEvents.h"
#include "Mirel/MirelInterfaces.h"
#include "tests/Mirel/MirelLibrary.h"
#include "winport/automation/oleauto.h"
#include "winport/automation/typelib.h"
#include "winport/com/com.h"
#include "winport/host/Bstr.h"

namespace {

// What the library publishes, written out as published (not taken from the
// code's constants): every type by its GUID, with the DISPIDs of its members.
struct Member {
    const char16_t* name;
    DISPID id;
};
struct PublishedType {
    const char16_t* name;
    const char* guid;
    TYPEKIND kind;
    std::vector<Member> members;
};

const std::vector<PublishedType>& PublishedTypes() {
    static const std::vector<PublishedType> types = {
        {u"IMirelUdpDeviceInfo",
         "{73D695B4-4838-4655-9D3D-8F5D539FF7A6}",
         TKIND_DISPATCH,
         {{u"MacAddress", 1010},
          {u"IpAddress", 1011},
          {u"Ping", 1012},
          {u"Version", 1013},
          {u"ProjectName", 1014},
          {u"BuildId", 1015},
          {u"PcmMode", 1016}}},
        {u"OSKAN_PCODE_MACHINE_MODE", "{BD95DA8D-557B-47BB-8085-6109317506F6}", TKIND_ENUM, {}},
        {u"MirelUdpRefresh", "{7B4C2E0F-C81F-4E66-BA72-4FB9B45B06E3}", TKIND_COCLASS, {}},
        {u"ISkRefresh",
         "{34BA7B52-4C96-49AE-9627-3ECD539B335B}",
         TKIND_DISPATCH,
         {{u"Refresh", 210}, {u"Cancel", 211}, {u"Reset", 212}, {u"DeviceInfo", 214}}},
        {u"_ISkRefreshEvents",
         "{954C4341-FD5B-4C32-BA64-0395B4F22C3A}",
         TKIND_DISPATCH,
         {{u"OnRefreshProgress", 215},
          {u"OnRefreshComplete", 216},
          {u"OnDeviceUpdate", 219},
          {u"OnDeviceRemove", 218}}},
        {u"_ISkTrace", "{BD156EA0-AA1E-4628-8DAA-EDFFEBF50F03}", TKIND_DISPATCH, {{u"OnTrace", 110}}},
        {u"MirelUdpDevice", "{EC32CBBA-6B33-4A61-8839-86FB2A857F37}", TKIND_COCLASS, {}},
        {u"ISkConnection",
         "{2A598238-DB4D-4DE9-BC69-DBE47CAC52DA}",
         TKIND_DISPATCH,
         {{u"Address", 150}, {u"Connected", 152}, {u"Connect", 153}, {u"Disconnect", 154}}},
        {u"ISkCmdTarget",
         "{7CDDCF21-356E-4F94-9C21-519154E42E53}",
         TKIND_DISPATCH,
         {{u"Flags", 173}, {u"Command", 170}, {u"Cancel", 171}}},
        {u"ISkLoader",
         "{4168252F-EB19-42E0-92C0-9D80EE55B9C1}",
         TKIND_DISPATCH,
         {{u"Load", 190}, {u"Cancel", 192}}},
        {u"ISkDebuggee", "{6EE11D7D-E3AC-43E0-A3AD-3D9FB6DEA5E1}", TKIND_INTERFACE, {}},
        {u"OSKAN_PCODE_MACHINE_STATE", "{CAF645A4-5F94-4423-98B2-CFA13B7AE0A3}", TKIND_RECORD, {}},
        {u"OSKAN_MEMORY_BREAKPOINT", "{403CFC38-BD77-4ABD-8732-7892AA3F6ECD}", TKIND_RECORD, {}},
        {u"OSKAN_MEMORY_BREAKPOINT_TYPE", "{5040B00C-DEB6-4A03-9553-E4719C294150}", TKIND_ENUM, {}},
        {u"_ISkConnectionEvents",
         "{1E29818D-5D00-4F49-A0C7-498D27B43F78}",
         TKIND_DISPATCH,
         {{u"OnConnectComplete", 155}, {u"OnDisconnect", 156}}},
        {u"_ISkCmdTargetEvents",
         "{3D08A6CB-DB87-43FE-9A27-734515C46B1C}",
         TKIND_DISPATCH,
         {{u"OnCommandComplete", 172}}},
        {u"_ISkLoaderEvents",
         "{1FD8F394-5F03-4F46-AF7D-671565FBB00A}",
         TKIND_DISPATCH,
         {{u"OnLoadProgress", 193}, {u"OnLoadComplete", 194}}},
        {u"_ISkDebuggeeEvents", "{E926AAD7-2DBF-4F86-BFBD-7DE5D8A1E3BE}", TKIND_INTERFACE, {}},
    };
    return types;
}

// Objects that record which member was called, for each interface with a
// vtable in the library.
#define RECORD(name, ...)                \
    HRESULT name(__VA_ARGS__) override { \
        calls->push_back(#name);         \
        return S_OK;                     \
    }

struct RecorderBase {
    std::vector<std::string>* calls;
};

#define RECORDING_UNKNOWN                             \
    HRESULT QueryInterface(REFIID, void**) override { \
        return E_NOINTERFACE;                         \
    }                                                 \
    ULONG AddRef() override {                         \
        return 1;                                     \
    }                                                 \
    ULONG Release() override {                        \
        return 1;                                     \
    }
#define RECORDING_DISPATCH                                                                          \
    RECORDING_UNKNOWN                                                                               \
    HRESULT GetTypeInfoCount(UINT*) override {                                                      \
        return E_NOTIMPL;                                                                           \
    }                                                                                               \
    HRESULT GetTypeInfo(UINT, LCID, ITypeInfo**) override {                                         \
        return E_NOTIMPL;                                                                           \
    }                                                                                               \
    HRESULT GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override {                        \
        return E_NOTIMPL;                                                                           \
    }                                                                                               \
    HRESULT Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) override { \
        return E_NOTIMPL;                                                                           \
    }

struct DeviceInfoRecorder final : IMirelUdpDeviceInfo, RecorderBase {
    RECORDING_DISPATCH
    RECORD(get_MacAddress, BSTR*)
    RECORD(get_IpAddress, BSTR*)
    RECORD(get_Ping, LONG*)
    RECORD(get_Version, BSTR*)
    RECORD(get_ProjectName, BSTR*)
    RECORD(get_BuildId, BSTR*)
    RECORD(get_PcmMode, OSKAN_PCODE_MACHINE_MODE*)
};

struct RefreshRecorder final : ISkRefresh, RecorderBase {
    RECORDING_DISPATCH
    RECORD(Refresh)
    RECORD(Cancel)
    RECORD(Reset)
    RECORD(get_DeviceInfo, LONG, IDispatch**)
};

struct ConnectionRecorder final : ISkConnection, RecorderBase {
    RECORDING_DISPATCH
    RECORD(put_Address, BSTR)
    RECORD(get_Address, BSTR*)
    RECORD(get_Connected, VARIANT_BOOL*)
    RECORD(Connect)
    RECORD(Disconnect)
};

struct CmdTargetRecorder final : ISkCmdTarget, RecorderBase {
    RECORDING_DISPATCH
    RECORD(get_Flags, LONG*)
    RECORD(put_Flags, LONG)
    RECORD(Command, BSTR, LONG)
    RECORD(Cancel)
};

struct LoaderRecorder final : ISkLoader, RecorderBase {
    RECORDING_DISPATCH
    RECORD(Load, BSTR, int)
    RECORD(Cancel)
};

struct DebuggeeRecorder final : ISkDebuggee, RecorderBase {
    RECORDING_UNKNOWN
    RECORD(BeginDebug)
    RECORD(EndDebug)
    RECORD(Cancel)
    RECORD(GetPCodeMachineState, OSKAN_PCODE_MACHINE_STATE*)
    RECORD(Synchronize)
    RECORD(Run)
    RECORD(Break)
    RECORD(RunTo, ULONG)
    RECORD(Restart)
    RECORD(StepInstruction)
    RECORD(StepInto, ULONG, ULONG)
    RECORD(StepOver, ULONG, ULONG)
    RECORD(StepOut)
    RECORD(SetCodeBreakpoints, ULONG*, int)
    RECORD(SetMemoryBreakpoints, OSKAN_MEMORY_BREAKPOINT*, int)
    RECORD(SetRegisterValue, int, int)
    RECORD(ReadMemory, ULONG, ULONG, LONG)
    RECORD(ReadString, ULONG, LONG)
    RECORD(ReadProperty, int, ULONG, ULONG, LONG)
    RECORD(ReadStringProperty, int, ULONG, LONG)
    RECORD(CancelRead, LONG)
    RECORD(WriteMemory, ULONG, ULONG, void*)
    RECORD(WriteProperty, int, ULONG, ULONG, void*)
};

struct DebuggeeEventsRecorder final : _ISkDebuggeeEvents, RecorderBase {
    RECORDING_UNKNOWN
    RECORD(OnKeepAlive)
    RECORD(OnPCodeMachineStateChange)
    RECORD(OnMemoryProgress, int)
    RECORD(OnError, LONG, const OLECHAR*)
    RECORD(OnDebugCommandComplete, LONG, const OLECHAR*)
    RECORD(OnReadMemoryComplete, LONG, const OLECHAR*, ULONG, ULONG, void*, LONG)
};

class MirelTypeLibTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::u16string path = winport::AnsiToUtf16(oskan::test::MirelLibraryPath());
        ASSERT_EQ(LoadTypeLib(path.c_str(), m_library.ReleaseAndGetAddressOf()), S_OK);
    }

    // Calls every function of the interface's description on the object,
    // each with zero for every argument, and returns the member names that
    // were reached, against the names the description gives.
    void ExpectSlotsMatch(REFIID iid, void* object, std::vector<std::string>* calls) {
        ComPtr<ITypeInfo> info;
        ASSERT_EQ(m_library->GetTypeInfoOfGuid(iid, info.ReleaseAndGetAddressOf()), S_OK);
        TYPEATTR* attr = nullptr;
        ASSERT_EQ(info->GetTypeAttr(&attr), S_OK);
        const WORD count = attr->cFuncs;
        info->ReleaseTypeAttr(attr);
        ASSERT_GT(count, 0);
        std::vector<std::string> described;
        calls->clear();
        for (UINT i = 0; i < count; ++i) {
            FUNCDESC* func = nullptr;
            ASSERT_EQ(info->GetFuncDesc(i, &func), S_OK);
            winport::Bstr name;
            UINT names = 0;
            info->GetNames(func->memid, &name, 1, &names);
            std::string prefix = func->invkind == INVOKE_PROPERTYGET   ? "get_"
                                 : func->invkind == INVOKE_PROPERTYPUT ? "put_"
                                                                       : "";
            described.push_back(prefix + winport::BstrToAnsi(name.get()));
            std::vector<VARIANT> zeros(func->cParams);
            std::vector<VARIANTARG*> args;
            std::vector<VARTYPE> types(func->cParams, VT_I8);
            for (auto& zero : zeros) {
                VariantInit(&zero);
                zero.vt = VT_I8;
                args.push_back(&zero);
            }
            VARIANT result;
            EXPECT_EQ(DispCallFunc(object, func->oVft, CC_STDCALL, VT_HRESULT, func->cParams, types.data(),
                                   args.data(), &result),
                      S_OK);
            info->ReleaseFuncDesc(func);
        }
        EXPECT_EQ(*calls, described);
    }

    ComPtr<ITypeLib> m_library;
};

TEST_F(MirelTypeLibTest, DualInterfacesDescribeTheirVtables) {
    std::vector<std::string> calls;
    DeviceInfoRecorder info;
    info.calls = &calls;
    ExpectSlotsMatch(IID_IMirelUdpDeviceInfo, static_cast<IMirelUdpDeviceInfo*>(&info), &calls);
    RefreshRecorder refresh;
    refresh.calls = &calls;
    ExpectSlotsMatch(IID_ISkRefresh, static_cast<ISkRefresh*>(&refresh), &calls);
    ConnectionRecorder connection;
    connection.calls = &calls;
    ExpectSlotsMatch(IID_ISkConnection, static_cast<ISkConnection*>(&connection), &calls);
    CmdTargetRecorder cmdTarget;
    cmdTarget.calls = &calls;
    ExpectSlotsMatch(IID_ISkCmdTarget, static_cast<ISkCmdTarget*>(&cmdTarget), &calls);
    LoaderRecorder loader;
    loader.calls = &calls;
    ExpectSlotsMatch(IID_ISkLoader, static_cast<ISkLoader*>(&loader), &calls);
}

TEST_F(MirelTypeLibTest, CustomInterfacesDescribeTheirVtables) {
    std::vector<std::string> calls;
    DebuggeeRecorder debuggee;
    debuggee.calls = &calls;
    ExpectSlotsMatch(IID_ISkDebuggee, static_cast<ISkDebuggee*>(&debuggee), &calls);
    EXPECT_EQ(calls.size(), 23u);
    DebuggeeEventsRecorder events;
    events.calls = &calls;
    ExpectSlotsMatch(IID__ISkDebuggeeEvents, static_cast<_ISkDebuggeeEvents*>(&events), &calls);
}

TEST_F(MirelTypeLibTest, PublishedIdentifiersAreTheOnesHostsCompiledAgainst) {
    TLIBATTR* attr = nullptr;
    ASSERT_EQ(m_library->GetLibAttr(&attr), S_OK);
    EXPECT_EQ(winport::GuidToString(attr->guid), "{EDD4E586-0DBA-4A9D-A87B-0B699395964F}");
    EXPECT_EQ(attr->wMajorVerNum, 1);
    EXPECT_EQ(attr->wMinorVerNum, 0);
    EXPECT_EQ(attr->lcid, 0u);
    m_library->ReleaseTLibAttr(attr);
    EXPECT_EQ(m_library->GetTypeInfoCount(), PublishedTypes().size());

    for (const PublishedType& type : PublishedTypes()) {
        const std::string name = winport::Utf16ToAnsi(type.name);
        GUID guid{};
        ASSERT_TRUE(winport::GuidFromString(type.guid, &guid)) << name;
        ComPtr<ITypeInfo> info;
        ASSERT_EQ(m_library->GetTypeInfoOfGuid(guid, info.ReleaseAndGetAddressOf()), S_OK) << name;
        winport::Bstr published;
        ASSERT_EQ(info->GetDocumentation(MEMBERID_NIL, &published, nullptr, nullptr, nullptr), S_OK);
        EXPECT_EQ(winport::BstrToAnsi(published.get()), name);
        TYPEATTR* typeAttr = nullptr;
        ASSERT_EQ(info->GetTypeAttr(&typeAttr), S_OK);
        EXPECT_EQ(typeAttr->typekind, type.kind) << name;
        info->ReleaseTypeAttr(typeAttr);
        for (const Member& member : type.members) {
            LPOLESTR names[] = {const_cast<LPOLESTR>(member.name)};
            MEMBERID id = DISPID_UNKNOWN;
            EXPECT_EQ(info->GetIDsOfNames(names, 1, &id), S_OK) << name;
            EXPECT_EQ(id, member.id) << name << "." << winport::Utf16ToAnsi(member.name);
        }
    }
}

// The constants hosts compile against, each against its published value.
TEST(MirelIdentifiers, ConstantsHaveThePublishedValues) {
    const std::pair<const GUID*, const char*> guids[] = {
        {&LIBID_MIRELLib, "{EDD4E586-0DBA-4A9D-A87B-0B699395964F}"},
        {&CLSID_MirelUdpDevice, "{EC32CBBA-6B33-4A61-8839-86FB2A857F37}"},
        {&CLSID_MirelUdpRefresh, "{7B4C2E0F-C81F-4E66-BA72-4FB9B45B06E3}"},
        {&IID_IMirelUdpDeviceInfo, "{73D695B4-4838-4655-9D3D-8F5D539FF7A6}"},
        {&IID_ISkRefresh, "{34BA7B52-4C96-49AE-9627-3ECD539B335B}"},
        {&IID_ISkConnection, "{2A598238-DB4D-4DE9-BC69-DBE47CAC52DA}"},
        {&IID_ISkCmdTarget, "{7CDDCF21-356E-4F94-9C21-519154E42E53}"},
        {&IID_ISkLoader, "{4168252F-EB19-42E0-92C0-9D80EE55B9C1}"},
        {&IID_ISkDebuggee, "{6EE11D7D-E3AC-43E0-A3AD-3D9FB6DEA5E1}"},
        {&DIID__ISkRefreshEvents, "{954C4341-FD5B-4C32-BA64-0395B4F22C3A}"},
        {&DIID__ISkTrace, "{BD156EA0-AA1E-4628-8DAA-EDFFEBF50F03}"},
        {&DIID__ISkConnectionEvents, "{1E29818D-5D00-4F49-A0C7-498D27B43F78}"},
        {&DIID__ISkCmdTargetEvents, "{3D08A6CB-DB87-43FE-9A27-734515C46B1C}"},
        {&DIID__ISkLoaderEvents, "{1FD8F394-5F03-4F46-AF7D-671565FBB00A}"},
        {&IID__ISkDebuggeeEvents, "{E926AAD7-2DBF-4F86-BFBD-7DE5D8A1E3BE}"},
    };
    for (const auto& [guid, text] : guids)
        EXPECT_EQ(winport::GuidToString(*guid), text);
    const std::pair<DISPID, DISPID> dispids[] = {
        {DISPID_OnRefreshProgress, 215}, {DISPID_OnRefreshComplete, 216}, {DISPID_OnDeviceUpdate, 219},
        {DISPID_OnDeviceRemove, 218},    {DISPID_OnTrace, 110},           {DISPID_OnConnectComplete, 155},
        {DISPID_OnDisconnect, 156},      {DISPID_OnCommandComplete, 172}, {DISPID_OnLoadProgress, 193},
        {DISPID_OnLoadComplete, 194},
    };
    for (const auto& [constant, published] : dispids)
        EXPECT_EQ(constant, published);
}

}  // namespace
