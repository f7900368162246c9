// Memory reads of the debugger: 64 KiB from one simulated device that runs
// on a thread (and service loop) of its own, as a device is a machine of its
// own, answering after 0, 2 and 10 ms. Prints, per delay, the measured round
// trip of a one-block read, the limit that four blocks in flight per round
// trip allow, the rate of the 64 KiB read and its ratio to that limit. Runs
// only inside scripts/netns-run.

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <thread>
#include <vector>

#include "Mirel/MirelEvents.h"
#include "Mirel/mireludpdevice.h"
#include "sim/NetworkIsolation.h"
#include "sim/SimPcodeMachine.h"
#include "sim/Simulator.h"
#include "winport/com/ocidl.h"
#include "winport/host/Bstr.h"
#include "winport/host/EventConnection.h"
#include "winport/loop/ServiceLoop.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr oskan::sim::MacAddress kMac = {2, 0, 0, 1, 2, 3};
constexpr ULONG kMemory = 0x10000;
constexpr int kRoundTrips = 100;
constexpr double kBlockBytes = 16;
constexpr double kInFlight = 4;

// Counts the completions the bench waits for, and keeps the last read.
class BenchSink final : public _ISkDebuggeeEvents {
public:
    HRESULT QueryInterface(REFIID riid, void** ppv) override {
        if (!ppv)
            return E_POINTER;
        if (riid == IID_IUnknown || riid == IID__ISkDebuggeeEvents) {
            *ppv = static_cast<_ISkDebuggeeEvents*>(this);
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    // Lives on the stack of main, longer than the device object.
    ULONG AddRef() override { return 2; }
    ULONG Release() override { return 1; }
    HRESULT OnKeepAlive() override { return S_OK; }
    HRESULT OnPCodeMachineStateChange() override { return S_OK; }
    HRESULT OnMemoryProgress(int) override { return S_OK; }
    HRESULT OnError(LONG, const OLECHAR*) override { return S_OK; }
    HRESULT OnDebugCommandComplete(LONG, const OLECHAR*) override {
        ++commands;
        return S_OK;
    }
    HRESULT OnReadMemoryComplete(LONG lError, const OLECHAR*, ULONG, ULONG dwLength, void* pvData,
                                 LONG) override {
        ++reads;
        error = lError;
        data.assign(static_cast<uint8_t*>(pvData), static_cast<uint8_t*>(pvData) + (pvData ? dwLength : 0));
        return S_OK;
    }

    int commands = 0;
    int reads = 0;
    LONG error = 0;
    std::vector<uint8_t> data;
};

// The simulated device on its own thread, for as long as this lives.
class DeviceThread {
public:
    DeviceThread(uint32_t delayMs, const std::vector<uint8_t>& memory) {
        m_thread = std::thread([this, delayMs, &memory] { Run(delayMs, memory); });
        while (m_state.load() == kStarting)
            std::this_thread::yield();
    }
    ~DeviceThread() {
        m_stop = true;
        m_thread.join();
    }
    bool Ready() const { return m_state.load() == kReady; }

private:
    enum { kStarting, kReady, kFailed };

    void Run(uint32_t delayMs, const std::vector<uint8_t>& memory) {
        oskan::sim::Simulator sim;
        if (!sim.Open()) {
            std::perror("simulator");
            m_state = kFailed;
            return;
        }
        oskan::sim::SimDevice* device = sim.AddDevice(kMac);
        device->SetMachineMode(oskan::sim::SimMachineMode::StoppedIdle);
        device->Machine().Write(0, memory);
        oskan::sim::SimFaults faults;
        faults.delayMs = delayMs;
        sim.SetFaults(kMac, faults);
        winport::ServiceLoop& loop = winport::ServiceLoop::Current();
        // Looks at the stop flag now and then, also while nothing arrives.
        std::function<void()> poll = [&] {
            if (!m_stop)
                loop.AddTimer(20, poll);
        };
        poll();
        m_state = kReady;
        loop.RunUntil([&] { return m_stop.load(); }, 24u * 3600 * 1000);
        while (loop.HasTimers())
            loop.RunUntil([] { return false; }, 50);
    }

    std::atomic<int> m_state{kStarting};
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};

struct Figures {
    double roundTripMs = 0;
    double limit = 0;  // bytes per second
    double rate = 0;
    bool intact = false;
};

bool WaitForReads(BenchSink& sink, int count) {
    return winport::ServiceLoop::Current().RunUntil([&] { return sink.reads >= count; }, 600000);
}

double Milliseconds(Clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

Figures Measure(ISkDebuggee* debuggee, BenchSink& sink, const std::vector<uint8_t>& memory) {
    Figures f;
    int expected = sink.reads;
    const auto start = Clock::now();
    for (int i = 0; i < kRoundTrips; ++i) {
        debuggee->ReadMemory(static_cast<ULONG>(i * 16), 16, i);
        if (!WaitForReads(sink, ++expected))
            return f;
    }
    f.roundTripMs = Milliseconds(Clock::now() - start) / kRoundTrips;
    f.limit = kInFlight * kBlockBytes / (f.roundTripMs / 1000.0);

    const auto readStart = Clock::now();
    debuggee->ReadMemory(0, kMemory, 0);
    if (!WaitForReads(sink, ++expected))
        return f;
    f.rate = kMemory / (Milliseconds(Clock::now() - readStart) / 1000.0);
    f.intact = sink.error == 0 && sink.data == memory;
    return f;
}

// One debugging link to the device, measured; 0, or the exit code of a
// failure.
int Run(const std::vector<uint8_t>& memory, Figures& f) {
    BenchSink sink;
    ComPtr<ISkConnection> connection;
    ComPtr<ISkDebuggee> debuggee;
    winport::EventConnection events;
    if (FAILED(CMirelUdpDevice::CreateInstance(IID_ISkConnection, connection.ReleaseAndGetVoidAddressOf())) ||
        FAILED(connection.As(IID_ISkDebuggee, &debuggee)) ||
        !(events = winport::EventConnection(connection.Get(), IID__ISkDebuggeeEvents, &sink)).Connected()) {
        std::fprintf(stderr, "cannot create the device object\n");
        return 1;
    }
    connection->put_Address(winport::Bstr(SysAllocString(u"2.0.0.1.2.3")).get());
    if (FAILED(connection->Connect()) || FAILED(debuggee->BeginDebug()) ||
        !winport::ServiceLoop::Current().RunUntil([&] { return sink.commands > 0; }, 10000)) {
        std::fprintf(stderr, "no debugging link to the simulated device\n");
        return 1;
    }
    f = Measure(debuggee.Get(), sink, memory);
    debuggee->EndDebug();
    events.Disconnect();
    return 0;
}

}  // namespace

int main(int, char** argv) {
    if (oskan::sim::RefuseUnlessIsolated(argv[0]))
        return 2;
    std::vector<uint8_t> memory(kMemory);
    for (size_t i = 0; i < memory.size(); ++i)
        memory[i] = static_cast<uint8_t>((i * 131) ^ (i >> 8));
    std::printf("%9s %14s %16s %16s %7s %7s\n", "delay ms", "round trip ms", "limit B/s", "64 KiB read B/s",
                "ratio", "data");
    for (uint32_t delay : {0u, 2u, 10u}) {
        DeviceThread device(delay, memory);
        if (!device.Ready())
            return 1;
        Figures f;
        if (int failed = Run(memory, f))
            return failed;
        std::printf("%9u %14.3f %16.0f %16.0f %7.3f %7s\n", delay, f.roundTripMs, f.limit, f.rate,
                    f.limit > 0 ? f.rate / f.limit : 0.0, f.intact ? "intact" : "WRONG");
    }
    return 0;
}
