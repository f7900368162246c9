// MIRELLib as the library file carries it: every function of every interface
// described at the vtable slot where the interface really has it, so that a
// late-bound call reaches the member it names.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "Mirel/MirelEvents.h"
#include "Mirel/MirelInterfaces.h"
#include "tests/Mirel/MirelLibrary.h"
#include "winport/typelib.h"

namespace {

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
            BSTR name = nullptr;
            UINT names = 0;
            info->GetNames(func->memid, &name, 1, &names);
            std::string prefix = func->invkind == INVOKE_PROPERTYGET   ? "get_"
                                 : func->invkind == INVOKE_PROPERTYPUT ? "put_"
                                                                       : "";
            described.push_back(prefix + winport::BstrToAnsi(name));
            SysFreeString(name);
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

}  // namespace
