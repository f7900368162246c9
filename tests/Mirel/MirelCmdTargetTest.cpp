// The device object's text commands, end to end: ISkCmdTarget on the device
// object, the frames on the wire, simulated devices answering, and the
// object's lifetime around its events. Runs on the manual clock inside the
// test's network namespace.

#include <arpa/inet.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <fstream>
#include <functional>
#include <string>
#include <tuple>
#include <vector>

#include "Mirel/MirelEvents.h"
#include "Mirel/mireludpdevice.h"
#include "tests/Mirel/RecordingDebugSink.h"
#include "tests/support/Advise.h"
#include "tests/support/ScriptedDevice.h"
#include "tests/support/SimulatorTest.h"
#include "tests/support/TempFolder.h"
#include "tests/support/TempRegistry.h"
#include "winport/host/Bstr.h"
#include "winport/host/DispatchSink.h"
#include "winport/loop/ServiceLoop.h"

namespace {

using oskan::sim::MacAddress;
using oskan::test::SimulatorTest;
using ::testing::ElementsAre;
using winport::DispatchSink;
using winport::ServiceLoop;

constexpr MacAddress kMac = {2, 0, 0, 1, 2, 3};
constexpr char kHeader[] = "_[2.0.0.1.2.3]";

struct CommandEvent {
    LONG error = 0;
    std::string details;
    bool nullResponse = false;
    std::string response;
    LONG lParam = 0;
};

// A host of one device object: both of its interfaces, sinks on its
// connection and command events, and what they received.
class DeviceHost {
public:
    DeviceHost() {
        EXPECT_EQ(CMirelUdpDevice::CreateInstance(IID_ISkConnection, connection.ReleaseAndGetVoidAddressOf()),
                  S_OK);
        EXPECT_EQ(connection.As(IID_ISkCmdTarget, &target), S_OK);
        commandSink = DispatchSink::Create(DIID__ISkCmdTargetEvents, [this](DISPID id, const DISPPARAMS& p) {
            ASSERT_EQ(id, DISPID_OnCommandComplete);
            ASSERT_EQ(p.cArgs, 4u);
            CommandEvent event;
            event.error = DispatchSink::IntArg(p, 0);
            event.details = DispatchSink::TextArg(p, 1);
            const VARIANT* response = DispatchSink::Arg(p, 2);
            ASSERT_EQ(V_VT(response), VT_BSTR);
            event.nullResponse = V_BSTR(response) == nullptr;
            event.response = winport::BstrToAnsiLen(V_BSTR(response));
            event.lParam = DispatchSink::IntArg(p, 3);
            commands.push_back(event);
            if (onCommand)
                onCommand(commands.back());
        });
        connectionSink =
            DispatchSink::Create(DIID__ISkConnectionEvents, [this](DISPID id, const DISPPARAMS&) {
                connectionEvents.push_back(id);
                if (onConnection)
                    onConnection(id);
            });
        Advise(DIID__ISkCmdTargetEvents, commandSink.Get());
        Advise(DIID__ISkConnectionEvents, connectionSink.Get());
        Object()->Transport().SetNextRequestId(0x100);
    }
    // The object goes first: its destruction still fires events to the sinks.
    ~DeviceHost() {
        onCommand = nullptr;
        onConnection = nullptr;
        Release();
    }

    CMirelUdpDevice* Object() const { return static_cast<CMirelUdpDevice*>(connection.Get()); }

    HRESULT SetAddress(const char16_t* text) {
        winport::Bstr address(SysAllocString(text));
        return connection->put_Address(address.get());
    }
    HRESULT Command(const char16_t* text, LONG lParam = 0) {
        winport::Bstr command(text ? SysAllocString(text) : nullptr);
        return target->Command(command.get(), lParam);
    }
    void Release() {
        target.Reset();
        connection.Reset();
    }
    bool WaitForCommands(size_t count, uint32_t timeoutMs = 5000) {
        return ServiceLoop::Current().RunUntil([&] { return commands.size() >= count; }, timeoutMs);
    }

    ComPtr<ISkConnection> connection;
    ComPtr<ISkCmdTarget> target;
    ComPtr<DispatchSink> commandSink, connectionSink;
    std::vector<CommandEvent> commands;
    std::vector<DISPID> connectionEvents;
    std::function<void(const CommandEvent&)> onCommand;
    std::function<void(DISPID)> onConnection;

private:
    void Advise(REFIID iid, IUnknown* sink) {
        EXPECT_EQ(oskan::test::Advise(connection.Get(), iid, sink), S_OK);
    }
};

class MirelCmdTargetTest : public SimulatorTest {
protected:
    void SetUp() override {
        SimulatorTest::SetUp();
        device = AddDevice(kMac, "4.2", "b7", "Pump");
    }
    // Leaves the port to a scripted device.
    void CloseSimulator() { sim.Close(); }
    void Silence(const char* kind) {
        oskan::sim::SimFaults faults;
        faults.silentKinds = {kind};
        sim.SetFaults(kMac, faults);
    }
    std::string AwaitRequest() {
        ServiceLoop::Current().RunUntil([&] { return !sim.LastRequest(kMac).empty(); }, 1000);
        return sim.LastRequest(kMac);
    }

    oskan::sim::SimDevice* device = nullptr;
    DeviceHost host;
};

// ---------------------------------------------------------------- with the connection

TEST_F(MirelCmdTargetTest, CommandSentBeforeConnectIsAnsweredAfterIt) {
    ASSERT_EQ(host.SetAddress(u"2.0.0.1.2.3"), S_OK);
    ASSERT_EQ(host.Command(u"B", 5), S_OK);
    ServiceLoop::Current().AdvanceClock(3000);
    EXPECT_TRUE(host.commands.empty());
    EXPECT_EQ(sim.RequestCount(kMac, "B"), 0u);
    ASSERT_EQ(host.connection->Connect(), S_OK);
    ASSERT_TRUE(host.WaitForCommands(1));
    EXPECT_EQ(host.commands[0].error, 0);
    EXPECT_EQ(host.commands[0].details, "Operation completed successfully");
    EXPECT_EQ(host.commands[0].response, "A");
    EXPECT_EQ(host.commands[0].lParam, 5);
    EXPECT_GE(device->BuzzCount(), 1u);
}

TEST_F(MirelCmdTargetTest, CommandSentFromInsideOnConnectCompleteIsAnswered) {
    ASSERT_EQ(host.SetAddress(u"2.0.0.1.2.3"), S_OK);
    host.onConnection = [&](DISPID id) {
        if (id == DISPID_OnConnectComplete) {
            EXPECT_EQ(host.Command(u"X", 9), S_OK);
        }
    };
    ASSERT_EQ(host.connection->Connect(), S_OK);
    ASSERT_TRUE(host.WaitForCommands(1));
    EXPECT_EQ(sim.LastRequest(kMac), std::string(kHeader) + "X|00000100");
    EXPECT_EQ(host.commands[0].response, "A4.2/b7/Pump");
    EXPECT_EQ(host.commands[0].lParam, 9);
}

// ---------------------------------------------------------------- replies

TEST_F(MirelCmdTargetTest, TwoCommandsAnsweredInReverseOrderGetTheirOwnReplies) {
    CloseSimulator();
    oskan::test::ScriptedDevice scripted;
    host.SetAddress(u"2.0.0.1.2.3");
    host.connection->Connect();
    host.Command(u"B", 1);
    host.Command(u"X", 2);
    EXPECT_EQ(scripted.AwaitNew(), std::string(kHeader) + "B|00000100");
    EXPECT_EQ(scripted.AwaitNew(), std::string(kHeader) + "X|00000101");
    scripted.Reply("[2.0.0.1.2.3]Ax|00000101");
    scripted.Reply("[002.000.000.001.002.003]Ab|00000100");
    ASSERT_TRUE(host.WaitForCommands(2));
    EXPECT_EQ(host.commands[0].lParam, 2);
    EXPECT_EQ(host.commands[0].response, "Ax");
    EXPECT_EQ(host.commands[1].lParam, 1);
    EXPECT_EQ(host.commands[1].response, "Ab");
}

TEST_F(MirelCmdTargetTest, ReplyIsCutAtItsFirstBarAndHostileRepliesAreHarmless) {
    CloseSimulator();
    oskan::test::ScriptedDevice scripted;
    host.SetAddress(u"2.0.0.1.2.3");
    host.connection->Connect();
    host.Command(u"Q", 1);
    scripted.AwaitNew();
    scripted.Reply("[2.0.0.1.2.3]" + std::string("A\0\xff", 3) +
                   "|zz|00000100");  // no hex after the first bar
    scripted.Reply("[2.0.0.1.2.3]Aok|00000100|and more");
    ASSERT_TRUE(host.WaitForCommands(1));
    EXPECT_EQ(host.commands[0].response, "Aok");

    // A datagram over the receive buffer is dropped whole.
    host.Command(u"R", 2);
    scripted.AwaitNew();
    scripted.Reply("[2.0.0.1.2.3]Along|00000101" + std::string(3000, 'x'));
    ServiceLoop::Current().AdvanceClock(100);
    EXPECT_EQ(host.commands.size(), 1u);
    scripted.Reply("[2.0.0.1.2.3]Ashort|00000101" + std::string(900, 'x'));
    ASSERT_TRUE(host.WaitForCommands(2));
    EXPECT_EQ(host.commands[1].response, "Ashort");
    host.Command(u"S", 3);
    scripted.AwaitNew();
    scripted.Reply("[2.0.0.1.2.3]A\xc3(\xff|00000102");  // not UTF-8
    ASSERT_TRUE(host.WaitForCommands(3));
    EXPECT_EQ(host.commands[2].error, 0);
    EXPECT_EQ(host.commands[2].response.substr(0, 1), "A");
}

// ---------------------------------------------------------------- without ids

TEST_F(MirelCmdTargetTest, FlagTwoSendsOneCommandWithoutIdAndTakesTheWholeReply) {
    LONG flags = -1;
    ASSERT_EQ(host.target->get_Flags(&flags), S_OK);
    EXPECT_EQ(flags, 0);
    EXPECT_EQ(host.target->get_Flags(nullptr), E_POINTER);
    ASSERT_EQ(host.target->put_Flags(0x7fff0002), S_OK);
    host.target->get_Flags(&flags);
    EXPECT_EQ(flags, 0x7fff0002);

    host.SetAddress(u"2.0.0.1.2.3");
    host.connection->Connect();
    Silence("X");
    ASSERT_EQ(host.Command(u"X", 1), S_OK);
    EXPECT_EQ(AwaitRequest(), std::string(kHeader) + "X");
    // While it is outstanding a second one is refused and nothing goes out.
    EXPECT_EQ(host.Command(u"Y", 2), HRESULT_FROM_WIN32(ERROR_NOT_READY));
    ServiceLoop::Current().AdvanceClock(100);
    EXPECT_EQ(sim.LastRequest(kMac), std::string(kHeader) + "X");
    sim.SetFaults(kMac, {});
    ASSERT_TRUE(host.WaitForCommands(1));
    EXPECT_EQ(host.commands[0].response, "A4.2/b7/Pump");
    EXPECT_EQ(host.commands[0].lParam, 1);
    ServiceLoop::Current().AdvanceClock(3000);
    EXPECT_EQ(host.commands.size(), 1u);  // the refused one never completes
    EXPECT_EQ(host.Command(u"B", 3), S_OK);
    ASSERT_TRUE(host.WaitForCommands(2));
    EXPECT_EQ(host.commands[1].lParam, 3);
}

// The debugger holds a transport client behind the command target's, so a
// reply that completes a command is offered to it afterwards.
class MirelCmdTargetBesideDebuggerTest : public MirelCmdTargetTest {
protected:
    void SetUp() override {
        MirelCmdTargetTest::SetUp();
        host.SetAddress(u"2.0.0.1.2.3");
        ASSERT_EQ(host.connection->Connect(), S_OK);
        ASSERT_EQ(host.connection.As(IID_ISkDebuggee, &debuggee), S_OK);
    }
    void TearDown() override { debuggee.Reset(); }
    // The command target's client first, then the debugger's.
    void SendThenBeginDebug(const char16_t* command, LONG lParam) {
        ASSERT_EQ(host.Command(command, lParam), S_OK);
        ASSERT_EQ(debuggee->BeginDebug(), S_OK);
        ASSERT_EQ(host.Object()->Transport().ClientCount(), 2u);
    }
    ComPtr<ISkDebuggee> debuggee;
};

// The event of the device object from which the host disconnects while a
// reply is being handed out.
enum class HostEvent { CommandComplete, KeepAlive, LoadProgress, LoadComplete };

// The event, and whether the host connects again at once.
using DisconnectCase = std::tuple<HostEvent, bool>;

std::string CaseName(const ::testing::TestParamInfo<DisconnectCase>& info) {
    static const char* const names[] = {"CommandComplete", "KeepAlive", "LoadProgress", "LoadComplete"};
    return std::string(names[static_cast<int>(std::get<0>(info.param))]) +
           (std::get<1>(info.param) ? "ThenConnect" : "");
}

// Closing the socket frees its receive buffer; the engine that fired reads on,
// and the debugger reads the reply after this event (AddressSanitizer reports
// either).
class DisconnectFromAnEventTest : public MirelCmdTargetBesideDebuggerTest,
                                  public ::testing::WithParamInterface<DisconnectCase> {
protected:
    void SetUp() override {
        MirelCmdTargetBesideDebuggerTest::SetUp();
        std::tie(fired, reconnect) = GetParam();
        debugSink = oskan::test::RecordingDebugSink::Create();
        debugSink->onEvent = [this](const oskan::test::DebugEvent& event) {
            if (event.text == "KeepAlive" && fired == HostEvent::KeepAlive)
                Act();
        };
        loaderSink = DispatchSink::Create(DIID__ISkLoaderEvents, [this](DISPID id, const DISPPARAMS&) {
            if ((id == DISPID_OnLoadProgress && fired == HostEvent::LoadProgress) ||
                (id == DISPID_OnLoadComplete && fired == HostEvent::LoadComplete))
                Act();
        });
        host.onCommand = [this](const CommandEvent&) {
            if (fired == HostEvent::CommandComplete)
                Act();
        };
        Advise(IID__ISkDebuggeeEvents, debugSink.Get());
        Advise(DIID__ISkLoaderEvents, loaderSink.Get());
        ASSERT_EQ(host.connection.As(IID_ISkLoader, &loader), S_OK);
        std::vector<char> image(128 * 4, 'f');
        std::ofstream(folder.Path() + "/fw.bin", std::ios::binary)
            .write(image.data(), static_cast<std::streamsize>(image.size()));
    }
    void TearDown() override {
        debugSink->onEvent = nullptr;
        host.onCommand = nullptr;
        loader.Reset();
        MirelCmdTargetBesideDebuggerTest::TearDown();
    }
    void Advise(REFIID iid, IUnknown* sink) {
        ASSERT_EQ(oskan::test::Advise(host.connection.Get(), iid, sink), S_OK);
    }
    // The first time only: the engines' later events find the link as the host left it.
    void Act() {
        if (acted)
            return;
        acted = true;
        EXPECT_EQ(host.connection->Disconnect(), S_OK);
        if (reconnect) {
            EXPECT_EQ(host.connection->Connect(), S_OK);
        }
    }
    // The engine that fires first, then the debugger (alone for OnKeepAlive).
    void Start() {
        switch (fired) {
            case HostEvent::CommandComplete:
                ASSERT_EQ(host.Command(u"B", 1), S_OK);
                break;
            case HostEvent::LoadProgress:
            case HostEvent::LoadComplete: {
                winport::Bstr name(winport::AnsiToBstr(folder.Path() + "/fw.bin"));
                ASSERT_EQ(loader->Load(name.get(), 0), S_OK);
                break;
            }
            case HostEvent::KeepAlive:
                break;
        }
        ASSERT_EQ(debuggee->BeginDebug(), S_OK);
        ASSERT_EQ(host.Object()->Transport().ClientCount(), fired == HostEvent::KeepAlive ? 1u : 2u);
    }

    oskan::test::TempFolder folder{"mirel-disconnect-test"};
    ComPtr<oskan::test::RecordingDebugSink> debugSink;
    ComPtr<DispatchSink> loaderSink;
    ComPtr<ISkLoader> loader;
    HostEvent fired = HostEvent::CommandComplete;
    bool reconnect = false;
    bool acted = false;
};

TEST_P(DisconnectFromAnEventTest, LeavesTheReplyWholeForTheEnginesThatReadIt) {
    Start();
    ASSERT_TRUE(ServiceLoop::Current().RunUntil([&] { return acted; }, 5000));
    VARIANT_BOOL connected = VARIANT_FALSE;
    ASSERT_EQ(host.connection->get_Connected(&connected), S_OK);
    EXPECT_EQ(connected == VARIANT_TRUE, reconnect);
    EXPECT_EQ(debuggee->EndDebug(), S_OK);
    EXPECT_EQ(loader->Cancel(), S_OK);
    if (!reconnect) {
        ASSERT_EQ(host.connection->Connect(), S_OK);
    }
    // The link still works afterwards.
    const size_t before = host.commands.size();
    ASSERT_EQ(host.Command(u"B", 9), S_OK);
    ASSERT_TRUE(host.WaitForCommands(before + 1));
    EXPECT_EQ(host.commands.back().response, "A");
}

INSTANTIATE_TEST_SUITE_P(Events, DisconnectFromAnEventTest,
                         ::testing::Combine(::testing::Values(HostEvent::CommandComplete,
                                                              HostEvent::KeepAlive, HostEvent::LoadProgress,
                                                              HostEvent::LoadComplete),
                                            ::testing::Bool()),
                         CaseName);

TEST_F(MirelCmdTargetBesideDebuggerTest, CommandWithoutIdSentFromACompletionWaitsForItsOwnReply) {
    ASSERT_EQ(host.target->put_Flags(2), S_OK);
    host.onCommand = [&](const CommandEvent& event) {
        if (event.lParam == 1) {
            EXPECT_EQ(host.Command(u"EC", 2), S_OK);
        }
    };
    Silence("EC");
    SendThenBeginDebug(u"B", 1);
    ASSERT_TRUE(host.WaitForCommands(1));
    ServiceLoop::Current().AdvanceClock(100);
    ASSERT_EQ(host.commands.size(), 1u) << "completed with " << host.commands.back().response;
    EXPECT_EQ(host.commands[0].lParam, 1);
    sim.SetFaults(kMac, {});
    ASSERT_TRUE(host.WaitForCommands(2));
    EXPECT_EQ(host.commands[1].lParam, 2);
    EXPECT_EQ(host.commands[1].error, 0);
    EXPECT_GT(sim.RequestCount(kMac, "EC"), 0u);
    EXPECT_EQ(debuggee->EndDebug(), S_OK);
}

// ---------------------------------------------------------------- Cancel

TEST_F(MirelCmdTargetTest, CancelCompletesThreeInSendingOrderAndStopsSending) {
    Silence("B");
    host.SetAddress(u"2.0.0.1.2.3");
    host.connection->Connect();
    EXPECT_EQ(host.target->Cancel(), S_OK);
    EXPECT_TRUE(host.commands.empty());
    for (LONG i = 1; i <= 3; ++i)
        host.Command(u"B", i);
    ServiceLoop::Current().AdvanceClock(1200);
    ASSERT_EQ(host.target->Cancel(), S_OK);
    ASSERT_EQ(host.commands.size(), 3u);
    for (LONG i = 0; i < 3; ++i) {
        EXPECT_EQ(host.commands[i].error, 1223);
        EXPECT_EQ(host.commands[i].details, "Operation cancelled");
        EXPECT_TRUE(host.commands[i].nullResponse);
        EXPECT_EQ(host.commands[i].lParam, i + 1);
    }
    const uint64_t requests = sim.RequestCount(kMac, "B");
    ServiceLoop::Current().AdvanceClock(5000);
    EXPECT_EQ(sim.RequestCount(kMac, "B"), requests);
    EXPECT_EQ(host.commands.size(), 3u);
}

TEST_F(MirelCmdTargetTest, ReplyAfterCancelIsIgnored) {
    CloseSimulator();
    oskan::test::ScriptedDevice scripted;
    host.SetAddress(u"2.0.0.1.2.3");
    host.connection->Connect();
    host.Command(u"B", 1);
    scripted.AwaitNew();
    host.target->Cancel();
    scripted.Reply("[2.0.0.1.2.3]A|00000100");
    ServiceLoop::Current().AdvanceClock(100);
    ASSERT_EQ(host.commands.size(), 1u);
    EXPECT_EQ(host.commands[0].error, 1223);
}

// ---------------------------------------------------------------- lifetime

TEST_F(MirelCmdTargetTest, DestructionCompletesPendingCommandsWithoutOnDisconnect) {
    Silence("B");
    host.SetAddress(u"2.0.0.1.2.3");
    host.connection->Connect();
    host.Command(u"B", 1);
    host.Command(u"B", 2);
    ServiceLoop::Current().AdvanceClock(100);
    host.Release();
    ASSERT_EQ(host.commands.size(), 2u);
    EXPECT_EQ(host.commands[0].error, 1223);
    EXPECT_EQ(host.commands[1].lParam, 2);
    EXPECT_THAT(host.connectionEvents, ElementsAre(DISPID_OnConnectComplete));
    const uint64_t requests = sim.RequestCount(kMac, "B");
    EXPECT_EQ(requests, 2u);
    ServiceLoop::Current().AdvanceClock(3000);
    EXPECT_EQ(sim.RequestCount(kMac, "B"), requests);
}

TEST_F(MirelCmdTargetTest, ReleasingTheObjectFromItsOwnReplyEventEndsTheOtherCommands) {
    Silence("EC");
    host.SetAddress(u"2.0.0.1.2.3");
    host.connection->Connect();
    host.Command(u"B", 1);
    host.Command(u"EC", 2);
    host.onCommand = [&](const CommandEvent& event) {
        if (event.lParam == 1)
            host.Release();
    };
    ASSERT_TRUE(host.WaitForCommands(2));
    EXPECT_EQ(host.commands[0].error, 0);
    EXPECT_EQ(host.commands[1].error, 1223);  // from the destruction
    EXPECT_FALSE(host.connection);
    ServiceLoop::Current().AdvanceClock(3000);
    EXPECT_EQ(host.commands.size(), 2u);
}

TEST_F(MirelCmdTargetTest, ReleasingTheObjectFromACancellationEventWaitsForCancelToReturn) {
    Silence("B");
    host.SetAddress(u"2.0.0.1.2.3");
    host.connection->Connect();
    host.Command(u"B", 1);
    host.Command(u"B", 2);
    ISkCmdTarget* raw = host.target.Get();
    host.onCommand = [&](const CommandEvent& event) {
        if (event.lParam == 1)
            host.Release();
    };
    EXPECT_EQ(raw->Cancel(), S_OK);
    ASSERT_EQ(host.commands.size(), 2u);
    EXPECT_EQ(host.commands[1].error, 1223);
    EXPECT_EQ(host.commands[1].lParam, 2);
}

// ---------------------------------------------------------------- the interface

TEST_F(MirelCmdTargetTest, CommandTargetIsAFaceOfTheDeviceObject) {
    ComPtr<IUnknown> fromTarget, fromConnection;
    ASSERT_EQ(host.target.As(IID_IUnknown, &fromTarget), S_OK);
    ASSERT_EQ(host.connection.As(IID_IUnknown, &fromConnection), S_OK);
    EXPECT_EQ(fromTarget.Get(), fromConnection.Get());
    ComPtr<ISkConnection> back;
    ASSERT_EQ(host.target.As(IID_ISkConnection, &back), S_OK);
    EXPECT_EQ(back.Get(), host.connection.Get());
    ComPtr<ISkCmdTarget> again;
    ASSERT_EQ(back.As(IID_ISkCmdTarget, &again), S_OK);
    EXPECT_EQ(again.Get(), host.target.Get());

    UINT count = 0;
    EXPECT_EQ(host.target->GetTypeInfoCount(&count), S_OK);
    EXPECT_EQ(count, 1u);
    EXPECT_EQ(host.target->GetTypeInfoCount(nullptr), E_POINTER);
    oskan::test::TempRegistry unregistered;  // late binding needs the registered type library
    ITypeInfo* info = reinterpret_cast<ITypeInfo*>(1);
    EXPECT_EQ(host.target->GetTypeInfo(0, 0, &info), TYPE_E_LIBNOTREGISTERED);
    EXPECT_EQ(info, nullptr);
    EXPECT_EQ(host.target->Invoke(170, IID_NULL, 0, DISPATCH_METHOD, nullptr, nullptr, nullptr, nullptr),
              TYPE_E_LIBNOTREGISTERED);
}

}  // namespace
