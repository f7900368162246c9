// Uploads through the device object, end to end: ISkLoader and its events on
// the device object, a simulated device taking the image, refusals, lost
// replies, and the object's lifetime around an upload. Runs on the manual
// clock inside the test's network namespace.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "Mirel/MirelEvents.h"
#include "Mirel/mireludpdevice.h"
#include "common/skloader.h"
#include "sim/SimAppFile.h"
#include "sim/SimUpload.h"
#include "sim/Simulator.h"
#include "tests/support/TempFolder.h"
#include "tests/support/TempRegistry.h"
#include "winport/base/debugout.h"
#include "winport/host/DispatchSink.h"
#include "winport/loop/ServiceLoop.h"

namespace {

using oskan::sim::MacAddress;
using oskan::sim::Simulator;
using oskan::sim::SimUploadKind;
using ::testing::ElementsAre;
using ::testing::IsEmpty;
using winport::DispatchSink;
using winport::ServiceLoop;

constexpr MacAddress kMac = {2, 0, 0, 1, 2, 3};
constexpr const char* kFirmwareLoaded = "Firmware file successfully loaded into the target.";
constexpr const char* kApplicationLoaded = "Application file successfully loaded into the target.";
constexpr const char* kCancelled = "Loading is cancelled by user.";

struct Completion {
    LONG error;
    std::string details;
    bool operator==(const Completion&) const = default;
};
void PrintTo(const Completion& c, std::ostream* os) {
    *os << c.error << " \"" << c.details << "\"";
}

// A host of one device object: its loader, a sink on the loader events and
// what it received.
class LoaderHost {
public:
    LoaderHost() {
        EXPECT_EQ(CMirelUdpDevice::CreateInstance(IID_ISkConnection, connection.ReleaseAndGetVoidAddressOf()),
                  S_OK);
        EXPECT_EQ(connection.As(IID_ISkLoader, &loader), S_OK);
        sink = DispatchSink::Create(DIID__ISkLoaderEvents, [this](DISPID id, const DISPPARAMS& p) {
            if (id == DISPID_OnLoadProgress) {
                EXPECT_EQ(p.cArgs, 1u);
                progress.push_back(DispatchSink::IntArg(p, 0));
                if (onProgress)
                    onProgress();
            } else {
                EXPECT_EQ(id, DISPID_OnLoadComplete);
                EXPECT_EQ(p.cArgs, 2u);
                completions.push_back({DispatchSink::IntArg(p, 0), DispatchSink::TextArg(p, 1)});
                if (onComplete)
                    onComplete();
            }
        });
        ComPtr<IConnectionPointContainer> container;
        ComPtr<IConnectionPoint> point;
        DWORD cookie = 0;
        EXPECT_EQ(connection.As(IID_IConnectionPointContainer, &container), S_OK);
        EXPECT_EQ(container->FindConnectionPoint(DIID__ISkLoaderEvents, point.ReleaseAndGetAddressOf()),
                  S_OK);
        EXPECT_EQ(point->Advise(sink.Get(), &cookie), S_OK);
        BSTR address = SysAllocString(u"2.0.0.1.2.3");
        EXPECT_EQ(connection->put_Address(address), S_OK);
        SysFreeString(address);
        EXPECT_EQ(connection->Connect(), S_OK);
    }
    ~LoaderHost() {
        onProgress = nullptr;
        onComplete = nullptr;
        Release();
    }

    HRESULT Load(const std::string& path, int flags) {
        BSTR name = winport::AnsiToBstr(path);
        HRESULT hr = loader->Load(name, flags);
        SysFreeString(name);
        return hr;
    }
    bool WaitForCompletion(size_t count = 1, uint32_t timeoutMs = 600000) {
        return ServiceLoop::Current().RunUntil([&] { return completions.size() >= count; }, timeoutMs);
    }
    void Release() {
        loader.Reset();
        connection.Reset();
    }
    const SkLoader& Engine() const {
        return static_cast<const SkLoaderPart*>(static_cast<ISkLoader*>(loader.Get()))->Engine();
    }

    ComPtr<ISkConnection> connection;
    ComPtr<ISkLoader> loader;
    ComPtr<DispatchSink> sink;
    std::vector<LONG> progress;
    std::vector<Completion> completions;
    std::function<void()> onProgress, onComplete;
};

class MirelLoaderTest : public ::testing::Test {
protected:
    void SetUp() override {
        ServiceLoop::Current().UseManualClock(1'000'000);
        ASSERT_TRUE(sim.Open());
        device = sim.AddDevice(kMac);
        device->SetVersion("<P-1.2.3>");
        device->SetBuildId("b1");
        device->SetProjectName("Pump");
    }
    std::string WriteFile(const std::string& name, const std::vector<uint8_t>& data) {
        std::string path = dir + "/" + name;
        std::ofstream out(path, std::ios::binary);
        out.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
        return path;
    }
    static std::vector<uint8_t> Firmware(size_t blocks) {
        std::vector<uint8_t> data(blocks * 128);
        for (size_t i = 0; i < data.size(); ++i)
            data[i] = static_cast<uint8_t>(i * 7 + i / 128);
        return data;
    }
    std::vector<uint8_t> Application(const std::string& buildId, const char* platform,
                                     size_t codeBytes = 2000) {
        oskan::sim::SimApplicationFile file;
        file.buildId = buildId;
        if (platform)
            file.platform = platform;
        file.codeBytes = codeBytes;
        return oskan::sim::MakeApplicationFile(file);
    }
    void WaitForBlocks(uint64_t count) {
        ServiceLoop::Current().RunUntil([&] { return sim.RequestCount(kMac, "D") >= count; }, 10000);
    }

    oskan::test::TempFolder folder{"mirel-loader-test"};
    const std::string& dir = folder.Path();
    Simulator sim;
    oskan::sim::SimDevice* device = nullptr;
};

// ---------------------------------------------------------------- whole uploads

TEST_F(MirelLoaderTest, FirmwareArrivesByteForByteWithTenPercentOfRepliesLost) {
    oskan::sim::SimFaults faults;
    faults.dropReply = 0.1;
    sim.SetFaults(kMac, faults);
    const std::vector<uint8_t> image = Firmware(300);
    LoaderHost host;
    ASSERT_EQ(host.Load(WriteFile("fw.bin", image), 0), S_OK);
    ASSERT_TRUE(host.WaitForCompletion());
    EXPECT_THAT(host.completions, ElementsAre(Completion{0, kFirmwareLoaded}));
    EXPECT_EQ(device->Upload().Image(), image);
    EXPECT_EQ(device->Upload().ImageKind(), SimUploadKind::Firmware);
    EXPECT_GT(sim.Stats(kMac)->repliesDropped, 20u);
    EXPECT_GT(sim.RequestCount(kMac, "D"), 300u);  // lost acknowledgements cost resends
    ASSERT_FALSE(host.progress.empty());
    for (size_t i = 1; i < host.progress.size(); ++i)
        EXPECT_GE(host.progress[i], host.progress[i - 1]);
    EXPECT_LT(host.progress.back(), 100);
    EXPECT_FALSE(host.Engine().HasTransportClient());
}

// Everything one upload tells anybody, in one list in the order it happened:
// the events of every connection point of the device object and the loader's
// debugger output (without the request ids, which vary).
class UploadRecorder {
public:
    explicit UploadRecorder(IUnknown* device) {
        m_previous = winport::SetDebugOutputListener(&UploadRecorder::OnDebugLine, this);
        ComPtr<IConnectionPointContainer> container;
        EXPECT_EQ(
            device->QueryInterface(IID_IConnectionPointContainer, container.ReleaseAndGetVoidAddressOf()),
            S_OK);
        for (const IID* iid : {&DIID__ISkConnectionEvents, &DIID__ISkLoaderEvents, &DIID__ISkCmdTargetEvents,
                               &DIID__ISkTrace}) {
            Connection connection;
            connection.sink = DispatchSink::Create(*iid, [this](DISPID id, const DISPPARAMS& p) {
                std::string line = "event " + std::to_string(id) + "(";
                for (UINT i = p.cArgs; i-- > 0;) {
                    const VARIANT& arg = p.rgvarg[i];
                    line +=
                        arg.vt == VT_BSTR ? winport::BstrToAnsi(V_BSTR(&arg)) : std::to_string(V_I4(&arg));
                    line += i ? ", " : "";
                }
                lines.push_back(line + ")");
            });
            EXPECT_EQ(container->FindConnectionPoint(*iid, connection.point.ReleaseAndGetAddressOf()), S_OK);
            EXPECT_EQ(connection.point->Advise(connection.sink.Get(), &connection.cookie), S_OK);
            m_connections.push_back(connection);
        }
    }
    ~UploadRecorder() {
        winport::SetDebugOutputListener(m_previous, nullptr);
        for (Connection& connection : m_connections)
            connection.point->Unadvise(connection.cookie);
    }

    std::vector<std::string> lines;

private:
    struct Connection {
        ComPtr<IConnectionPoint> point;
        ComPtr<DispatchSink> sink;
        DWORD cookie = 0;
    };
    static void OnDebugLine(const char* text, void* user) {
        std::string line(text);
        line = line.substr(0, line.find_first_of("|\n"));
        static_cast<UploadRecorder*>(user)->lines.push_back("debug " + line);
    }

    winport::DebugOutputListener m_previous = nullptr;
    std::vector<Connection> m_connections;
};

TEST_F(MirelLoaderTest, OneUploadTellsProgressDebugLinesAndCompletionInOrder) {
    oskan::sim::SimFaults faults;
    faults.delayMs = 60;  // each acknowledgement comes after the progress interval of 50 ms
    sim.SetFaults(kMac, faults);
    LoaderHost host;
    UploadRecorder recorder(host.connection.Get());
    ASSERT_EQ(host.Load(WriteFile("fw.bin", Firmware(4)), 0), S_OK);
    ASSERT_TRUE(host.WaitForCompletion());
    EXPECT_THAT(
        recorder.lines,
        ElementsAre("debug SKLDR: < A",  // "QF"
                    "debug SKLDR: < A (data block 0)", "event 193(25)", "debug SKLDR: < A (data block 1)",
                    "event 193(50)", "debug SKLDR: < A (data block 2)", "event 193(75)",
                    "debug SKLDR: < A (data block 3)",
                    "debug SKLDR: < A",  // "N"
                    "debug SKLDR: < A",  // "EC"
                    "event 194(0, Firmware file successfully loaded into the target.)"));
}

TEST_F(MirelLoaderTest, UploadedApplicationBecomesTheDevicesBuildAndIsThenSkipped) {
    const std::vector<uint8_t> app = Application("b2", "P-1.2");
    const std::string path = WriteFile("app.opc", app);
    LoaderHost host;
    ASSERT_EQ(host.Load(path, 7), S_OK);
    ASSERT_TRUE(host.WaitForCompletion());
    EXPECT_THAT(host.completions, ElementsAre(Completion{0, kApplicationLoaded}));
    EXPECT_EQ(device->Upload().Image(), app);
    EXPECT_EQ(device->BuildId(), "b2");
    EXPECT_EQ(sim.RequestCount(kMac, "X"), 1u);

    const uint64_t blocks = sim.RequestCount(kMac, "D");
    ASSERT_EQ(host.Load(path, 7), S_OK);
    ASSERT_TRUE(host.WaitForCompletion(2));
    EXPECT_EQ(host.completions[1], (Completion{0, "Application file is already loaded into the target."}));
    EXPECT_EQ(sim.RequestCount(kMac, "D"), blocks);
    EXPECT_EQ(sim.RequestCount(kMac, "Q"), 1u);
}

TEST_F(MirelLoaderTest, ApplicationForAnotherPlatformIsRefusedBeforeAnyBlock) {
    LoaderHost host;
    ASSERT_EQ(host.Load(WriteFile("app.opc", Application("b2", "P-1.4")), 7), S_OK);
    ASSERT_TRUE(host.WaitForCompletion());
    ASSERT_EQ(host.completions.size(), 1u);
    EXPECT_EQ(host.completions[0].error, 13);
    EXPECT_EQ(
        host.completions[0].details,
        "Firmware version mismatch (platform requires: <P-1.4.xx>, target runs: <P-1.2.3>).\nUpdate the SkOS "
        "firmware of your target (main menu: Project -> Select/Manage Target).");
    EXPECT_EQ(sim.RequestCount(kMac, "Q"), 0u);
    EXPECT_EQ(device->BuildId(), "b1");
}

TEST_F(MirelLoaderTest, DeviceRefusalsReachTheHostWithTheirTexts) {
    struct Case {
        oskan::sim::SimUploadRefusals refusals;
        uint32_t capacity;
        int flags;
        Completion completion;
    };
    const Case cases[] = {
        {{'E', std::nullopt, 'F', 'A', 'A'}, 65536, 0, {31, "Failed to upload firmware file to the target"}},
        {{'A', 2u, 'F', 'A', 'A'}, 65536, 0, {29, "Target reported FLASH write failure, upload failed"}},
        {{'A', 1u, 'S', 'A', 'A'}, 65536, 1, {13, "Target reported packet out of sequence, upload failed"}},
        // Error codes end the upload whatever block number they carry.
        {{'A', 2u, 'F', 'A', 'A', 7}, 65536, 0, {29, "Target reported FLASH write failure, upload failed"}},
        {{'A', 1u, 'S', 'A', 'A', 0},
         65536,
         1,
         {13, "Target reported packet out of sequence, upload failed"}},
        {{'A', 3u, 'O', 'A', 'A', 0xFFFF},
         65536,
         1,
         {8, "Target does not have enough ROM (application memory) to run this application"}},
        {{}, 3, 1, {8, "Target does not have enough ROM (application memory) to run this application"}},
        {{'A', std::nullopt, 'F', 'O', 'A'},
         65536,
         1,
         {8, "Target does not have enough RAM (variable memory) to run this application"}},
        {{'A', std::nullopt, 'F', 'F', 'A'},
         65536,
         1,
         {29, "Target reported checksum error in uploaded application file"}},
        {{'A', std::nullopt, 'F', 'A', 'X'}, 65536, 0, {31, "Failed to upload firmware file to the target"}},
    };
    const std::string path = WriteFile("f.bin", Firmware(5));
    LoaderHost host;
    for (const Case& c : cases) {
        device->Upload().SetRefusals(c.refusals);
        device->Upload().SetCapacityBlocks(c.capacity);
        host.completions.clear();
        ASSERT_EQ(host.Load(path, c.flags), S_OK);
        ASSERT_TRUE(host.WaitForCompletion());
        EXPECT_THAT(host.completions, ElementsAre(c.completion));
        EXPECT_THAT(device->Upload().Image(), IsEmpty());
    }
}

TEST_F(MirelLoaderTest, FixedFirmwareDeviceServerTakesTheImageOnE) {
    const MacAddress mac = {2, 0, 0, 9, 9, 9};
    auto* server =
        sim.AddDevice(std::make_unique<oskan::sim::SimDevice>(mac, oskan::sim::FixedFirmwareHandlers()));
    const std::vector<uint8_t> image = Firmware(20);
    LoaderHost host;
    BSTR address = SysAllocString(u"2.0.0.9.9.9");
    ASSERT_EQ(host.connection->put_Address(address), S_OK);
    SysFreeString(address);
    ASSERT_EQ(host.Load(WriteFile("fw.bin", image), OLF_FIXED_FIRMWARE), S_OK);
    ASSERT_TRUE(host.WaitForCompletion());
    EXPECT_THAT(host.completions, ElementsAre(Completion{0, kFirmwareLoaded}));
    ServiceLoop::Current().RunUntil([&] { return sim.RequestCount(mac, "E") >= 3; }, 1000);
    EXPECT_EQ(sim.RequestCount(mac, "E"), 3u);
    EXPECT_EQ(sim.RequestCount(mac, "EC"), 0u);
    EXPECT_EQ(server->Upload().Image(), image);
}

// ---------------------------------------------------------------- the interface

TEST_F(MirelLoaderTest, LoaderIsAFaceOfTheDeviceObject) {
    LoaderHost host;
    ComPtr<IUnknown> fromLoader, fromConnection;
    ASSERT_EQ(host.loader.As(IID_IUnknown, &fromLoader), S_OK);
    ASSERT_EQ(host.connection.As(IID_IUnknown, &fromConnection), S_OK);
    EXPECT_EQ(fromLoader.Get(), fromConnection.Get());
    ComPtr<ISkConnection> back;
    EXPECT_EQ(host.loader.As(IID_ISkConnection, &back), S_OK);
    UINT count = 0;
    EXPECT_EQ(host.loader->GetTypeInfoCount(&count), S_OK);
    EXPECT_EQ(count, 1u);
    oskan::test::TempRegistry unregistered;  // late binding needs the registered type library
    EXPECT_EQ(host.loader->GetIDsOfNames(IID_NULL, nullptr, 0, 0, nullptr), TYPE_E_LIBNOTREGISTERED);
    EXPECT_EQ(host.loader->Invoke(190, IID_NULL, 0, 0, nullptr, nullptr, nullptr, nullptr),
              TYPE_E_LIBNOTREGISTERED);
}

TEST_F(MirelLoaderTest, LoadFailuresAreHresultsWithoutEvents) {
    LoaderHost host;
    EXPECT_EQ(host.Load(dir + "/missing.bin", 0), static_cast<HRESULT>(0x80070002));
    EXPECT_EQ(host.loader->Load(nullptr, 0), static_cast<HRESULT>(0x80070002));
    EXPECT_EQ(host.Load(WriteFile("short.bin", std::vector<uint8_t>(127)), 0),
              static_cast<HRESULT>(0x8007000B));
    BSTR withZero = SysAllocStringLen(u"x\0y", 3);
    EXPECT_EQ(host.loader->Load(withZero, 0), static_cast<HRESULT>(0x8007007B));
    SysFreeString(withZero);
    ASSERT_EQ(host.Load(WriteFile("f.bin", Firmware(4)), 0), S_OK);
    EXPECT_EQ(host.Load(WriteFile("g.bin", Firmware(1)), 0), static_cast<HRESULT>(0x80070015));
    EXPECT_THAT(host.completions, IsEmpty());
    ASSERT_TRUE(host.WaitForCompletion());
    EXPECT_THAT(host.completions, ElementsAre(Completion{0, kFirmwareLoaded}));
    EXPECT_EQ(device->Upload().Image(), Firmware(4));
}

TEST_F(MirelLoaderTest, UploadStartedWhileDisconnectedGoesOutOnConnect) {
    LoaderHost host;
    ASSERT_EQ(host.connection->Disconnect(), S_OK);
    ASSERT_EQ(host.Load(WriteFile("f.bin", Firmware(2)), 0), S_OK);
    ServiceLoop::Current().AdvanceClock(3000);
    EXPECT_EQ(sim.RequestCount(kMac, "QF"), 0u);
    ASSERT_EQ(host.connection->Connect(), S_OK);
    ASSERT_TRUE(host.WaitForCompletion());
    EXPECT_THAT(host.completions, ElementsAre(Completion{0, kFirmwareLoaded}));
}

// ---------------------------------------------------------------- cancel, re-entry, lifetime

TEST_F(MirelLoaderTest, CancelCompletesOnceAndTheDeviceHearsNoMore) {
    oskan::sim::SimFaults faults;
    faults.silentKinds = {"D"};
    sim.SetFaults(kMac, faults);
    LoaderHost host;
    ASSERT_EQ(host.Load(WriteFile("f.bin", Firmware(8)), 0), S_OK);
    WaitForBlocks(2);  // block 0 and its first resend
    EXPECT_EQ(host.loader->Cancel(), S_OK);
    EXPECT_EQ(host.loader->Cancel(), S_OK);
    EXPECT_THAT(host.completions, ElementsAre(Completion{1223, kCancelled}));
    ServiceLoop::Current().AdvanceClock(1);  // what was already on its way
    const uint64_t blocks = sim.RequestCount(kMac, "D");
    ServiceLoop::Current().AdvanceClock(5000);
    EXPECT_EQ(sim.RequestCount(kMac, "D"), blocks);
}

TEST_F(MirelLoaderTest, NewLoadFromInsideOnLoadComplete) {
    const std::vector<uint8_t> firmware = Firmware(3);
    const std::string next = WriteFile("fw.bin", firmware);
    LoaderHost host;
    HRESULT again = E_FAIL;
    host.onComplete = [&] {
        if (host.completions.size() == 1)
            again = host.Load(next, 0);
    };
    ASSERT_EQ(host.Load(WriteFile("app.opc", Application("b5", nullptr)), OLF_LOAD_APPLICATION), S_OK);
    ASSERT_TRUE(host.WaitForCompletion(2));
    EXPECT_EQ(again, S_OK);
    EXPECT_THAT(host.completions,
                ElementsAre(Completion{0, kApplicationLoaded}, Completion{0, kFirmwareLoaded}));
    EXPECT_EQ(device->Upload().Image(), firmware);
    EXPECT_EQ(device->BuildId(), "b5");
}

TEST_F(MirelLoaderTest, DestroyingTheObjectDuringAnUploadCompletesItAsCancelled) {
    LoaderHost host;
    ASSERT_EQ(host.Load(WriteFile("f.bin", Firmware(50)), 0), S_OK);
    WaitForBlocks(10);
    host.Release();
    EXPECT_THAT(host.completions, ElementsAre(Completion{1223, kCancelled}));
    ServiceLoop::Current().AdvanceClock(1);  // what was already on its way
    const uint64_t blocks = sim.RequestCount(kMac, "D");
    ServiceLoop::Current().AdvanceClock(5000);
    EXPECT_EQ(sim.RequestCount(kMac, "D"), blocks);
    EXPECT_LT(blocks, 50u);
}

TEST_F(MirelLoaderTest, ReleasingTheObjectFromItsCompletionEvent) {
    LoaderHost host;
    host.onComplete = [&] { host.Release(); };
    ASSERT_EQ(host.Load(WriteFile("f.bin", Firmware(3)), 0), S_OK);
    ASSERT_TRUE(host.WaitForCompletion());
    EXPECT_FALSE(host.connection);
    EXPECT_THAT(host.completions, ElementsAre(Completion{0, kFirmwareLoaded}));
    ServiceLoop::Current().AdvanceClock(3000);
    EXPECT_EQ(host.completions.size(), 1u);
}

TEST_F(MirelLoaderTest, ReleasingTheObjectFromAProgressEventCancelsTheUpload) {
    LoaderHost host;
    host.onProgress = [&] { host.Release(); };
    ASSERT_EQ(host.Load(WriteFile("f.bin", Firmware(50)), 0), S_OK);
    ASSERT_TRUE(host.WaitForCompletion());
    EXPECT_FALSE(host.connection);
    EXPECT_THAT(host.progress, ElementsAre(2));
    EXPECT_THAT(host.completions, ElementsAre(Completion{1223, kCancelled}));
    // Block 0, then block 1 on its acknowledgement, then nothing.
    ServiceLoop::Current().AdvanceClock(3000);
    EXPECT_EQ(sim.RequestCount(kMac, "D"), 2u);
}

}  // namespace
