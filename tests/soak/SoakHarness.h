#pragma once
// Hosts for the soak and flood tests: a discovery object and a device object
// with sinks that record what their events carry, a simulator with many
// devices, and the knobs that make a run long when run by hand.

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "Mirel/MirelEvents.h"
#include "Mirel/MirelUdpRefresh.h"
#include "Mirel/mireludpdevice.h"
#include "sim/SimUpload.h"
#include "sim/Simulator.h"
#include "tests/Mirel/RecordingDebugSink.h"
#include "tests/support/Advise.h"
#include "winport/host/Bstr.h"
#include "winport/host/DispatchSink.h"
#include "winport/loop/ServiceLoop.h"

namespace oskan::soak {

using winport::DispatchSink;
using winport::ServiceLoop;

// OSKAN_SOAK_LONG=1 makes every loop this many times longer.
inline int LongFactor(int factor) {
    const char* value = std::getenv("OSKAN_SOAK_LONG");
    return value && *value && std::strcmp(value, "0") != 0 ? factor : 1;
}

inline long ResidentKiB() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmRSS:", 0) == 0)
            return std::atol(line.c_str() + 6);
    return 0;
}

struct Completion {
    LONG error = -1;
    std::string details;
};

class RefreshHost {
public:
    RefreshHost() {
        EXPECT_EQ(CMirelUdpRefresh::CreateInstance(IID_ISkRefresh, refresh.ReleaseAndGetVoidAddressOf()),
                  S_OK);
        sink = DispatchSink::Create(DIID__ISkRefreshEvents, [this](DISPID id, const DISPPARAMS& p) {
            if (id == DISPID_OnRefreshComplete)
                completions.push_back({DispatchSink::IntArg(p, 0), DispatchSink::TextArg(p, 1)});
        });
        EXPECT_EQ(test::Advise(refresh.Get(), DIID__ISkRefreshEvents, sink.Get()), S_OK);
    }
    ~RefreshHost() { refresh.Reset(); }

    CMirelUdpRefresh* Engine() const { return static_cast<CMirelUdpRefresh*>(refresh.Get()); }
    // One scan to its end; false when it did not end in time.
    bool Scan(uint32_t timeoutMs = 120000) {
        const size_t before = completions.size();
        if (refresh->Refresh() != S_OK)
            return false;
        return ServiceLoop::Current().RunUntil([&] { return completions.size() > before; }, timeoutMs);
    }
    std::map<std::string, std::string> ListedVersions() const {
        std::map<std::string, std::string> listed;
        Engine()->ForEachDevice([&](MirelUdpDeviceInfo& device) {
            const uint8_t* m = device.Mac();
            char mac[32];
            std::snprintf(mac, sizeof mac, "%u.%u.%u.%u.%u.%u", m[0], m[1], m[2], m[3], m[4], m[5]);
            winport::Bstr version;
            device.get_Version(&version);
            listed[mac] = version.ToUtf8();
        });
        return listed;
    }

    ComPtr<ISkRefresh> refresh;
    ComPtr<DispatchSink> sink;
    std::vector<Completion> completions;
};

struct CommandReply {
    LONG error = -1;
    std::string response;
    LONG lParam = 0;
};

// One device object with its command target, loader and debugger.
class DeviceHost {
public:
    explicit DeviceHost(const char16_t* address) {
        EXPECT_EQ(CMirelUdpDevice::CreateInstance(IID_ISkConnection, connection.ReleaseAndGetVoidAddressOf()),
                  S_OK);
        EXPECT_EQ(connection.As(IID_ISkCmdTarget, &target), S_OK);
        EXPECT_EQ(connection.As(IID_ISkLoader, &loader), S_OK);
        EXPECT_EQ(connection.As(IID_ISkDebuggee, &debuggee), S_OK);
        commandSink = DispatchSink::Create(DIID__ISkCmdTargetEvents, [this](DISPID, const DISPPARAMS& p) {
            commands.push_back({DispatchSink::IntArg(p, 0),
                                winport::BstrToAnsiLen(V_BSTR(DispatchSink::Arg(p, 2))),
                                DispatchSink::IntArg(p, 3)});
        });
        loaderSink = DispatchSink::Create(DIID__ISkLoaderEvents, [this](DISPID id, const DISPPARAMS& p) {
            if (id == DISPID_OnLoadComplete)
                loads.push_back({DispatchSink::IntArg(p, 0), DispatchSink::TextArg(p, 1)});
        });
        debugSink = test::RecordingDebugSink::Create();
        EXPECT_EQ(test::Advise(connection.Get(), DIID__ISkCmdTargetEvents, commandSink.Get()), S_OK);
        EXPECT_EQ(test::Advise(connection.Get(), DIID__ISkLoaderEvents, loaderSink.Get()), S_OK);
        EXPECT_EQ(test::Advise(connection.Get(), IID__ISkDebuggeeEvents, debugSink.Get()), S_OK);
        EXPECT_EQ(connection->put_Address(winport::Bstr(SysAllocString(address)).get()), S_OK);
        EXPECT_EQ(connection->Connect(), S_OK);
    }
    ~DeviceHost() {
        debugSink->onEvent = nullptr;
        ReleaseObject();
    }
    // Drops every reference to the object; the sinks stay and hear what its
    // destruction still reports.
    void ReleaseObject() {
        debuggee.Reset();
        loader.Reset();
        target.Reset();
        connection.Reset();
    }
    bool Alive() const { return connection != nullptr; }
    CMirelUdpDevice* Object() const { return static_cast<CMirelUdpDevice*>(connection.Get()); }

    HRESULT Command(const char16_t* text, LONG lParam) {
        return target->Command(winport::Bstr(SysAllocString(text)).get(), lParam);
    }
    HRESULT Load(const std::string& path, int flags) {
        return loader->Load(winport::Bstr::FromUtf8(path).get(), flags);
    }

    ComPtr<ISkConnection> connection;
    ComPtr<ISkCmdTarget> target;
    ComPtr<ISkLoader> loader;
    ComPtr<ISkDebuggee> debuggee;
    ComPtr<DispatchSink> commandSink, loaderSink;
    ComPtr<test::RecordingDebugSink> debugSink;
    std::vector<CommandReply> commands;
    std::vector<Completion> loads;
};

inline std::u16string MacText(const sim::MacAddress& mac) {
    std::string text;
    for (size_t i = 0; i < mac.size(); ++i)
        text += (i ? "." : "") + std::to_string(mac[i]);
    return std::u16string(text.begin(), text.end());
}

// Stand-ins for real devices: a version each can be told by, machines stopped.
inline void AddDevices(sim::Simulator& sim, size_t count) {
    for (size_t i = 0; i < count; ++i) {
        auto* device = sim.AddDevice(sim::MacFromNumber(0x020000010000ull + i));
        device->SetVersion("4." + std::to_string(i));
        device->SetBuildId("b17");
        device->SetProjectName("Soak");
        device->SetMachineMode(sim::SimMachineMode::StoppedIdle);
    }
}

inline std::string MacKey(const sim::MacAddress& mac) {
    std::u16string text = MacText(mac);
    return std::string(text.begin(), text.end());
}

}  // namespace oskan::soak
