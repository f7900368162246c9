#include "tools/mirel/DiscoverCommand.h"

#include <iostream>

#include "Mirel/MirelEvents.h"
#include "tools/Printable.h"
#include "tools/mirel/ObjectFactory.h"
#include "tools/mirel/ProgressDisplay.h"
#include "winport/com/ocidl.h"
#include "winport/host/Bstr.h"
#include "winport/host/DispatchSink.h"
#include "winport/host/EventConnection.h"
#include "winport/loop/ServiceLoop.h"
#include "winport/loop/winsock.h"

namespace mirel {

namespace {

std::string ReadText(IMirelUdpDeviceInfo* info, HRESULT (IMirelUdpDeviceInfo::*get)(BSTR*)) {
    winport::Bstr text;
    if (FAILED((info->*get)(&text)))
        return {};
    return winport::BstrToAnsi(text.get());
}

}  // namespace

CLI::App* DiscoverCommand::Register(CLI::App& app) {
    CLI::App* sub = app.add_subcommand("discover", "Find the devices on the local network and list them");
    sub->add_flag("--json", m_json, "Print the list as a JSON array");
    sub->add_option("--scans", m_scans, "Number of scans to run one after the other (default 1)")
        ->check(CLI::Range(1, 1000));
    return sub;
}

int DiscoverCommand::Run() {
    ComPtr<ISkRefresh> refresh;
    std::string problem;
    HRESULT hr =
        ObjectFactory::Create(kRefreshProgID, IID_ISkRefresh, refresh.ReleaseAndGetVoidAddressOf(), &problem);
    if (FAILED(hr)) {
        std::cerr << "mirel: " << problem << "\n";
        return kExitUsage;
    }

    ProgressDisplay progress("scanning");
    bool complete = false;
    LONG error = 0;
    std::string details;
    int scan = 1;
    auto sink = winport::DispatchSink::Create(DIID__ISkRefreshEvents, [&](DISPID id, const DISPPARAMS& p) {
        using winport::DispatchSink;
        switch (id) {
            case DISPID_OnRefreshProgress:
                progress.Update(DispatchSink::IntArg(p, 0), "scan " + std::to_string(scan) + "/" +
                                                                std::to_string(m_scans) + ", " +
                                                                std::to_string(m_ids.size()) + " devices");
                break;
            case DISPID_OnDeviceUpdate:
                m_ids[DispatchSink::IntArg(p, 0)] = true;
                break;
            case DISPID_OnDeviceRemove:
                m_ids.erase(DispatchSink::IntArg(p, 0));
                break;
            case DISPID_OnRefreshComplete:
                complete = true;
                error = DispatchSink::IntArg(p, 0);
                details = DispatchSink::TextArg(p, 1);
                break;
        }
    });
    winport::EventConnection events(refresh.Get(), DIID__ISkRefreshEvents, sink.Get());
    if (!events.Connected()) {
        std::cerr << "mirel: cannot connect to the discovery events\n";
        return kExitUsage;
    }

    int result = kExitOk;
    for (scan = 1; scan <= m_scans; ++scan) {
        complete = false;
        hr = refresh->Refresh();
        if (FAILED(hr)) {
            progress.Finish();
            std::cerr << "mirel: cannot open the discovery socket: " << winport::ErrorText(WSAGetLastError())
                      << "\n";
            result = kExitUsage;
            break;
        }
        winport::ServiceLoop::Current().RunUntil([&] { return complete; }, 24 * 3600 * 1000);
        if (error != 0) {
            progress.Finish();
            std::cerr << "mirel: error " << error << ": " << oskan::tools::Printable(details) << " ("
                      << winport::ErrorText(error) << ")\n";
            result = kExitDeviceError;
            break;
        }
    }
    progress.Finish();
    if (result == kExitOk) {
        std::vector<DeviceRow> rows = ReadDevices(refresh.Get());
        if (m_json)
            PrintDeviceJson(std::cout, rows);
        else
            PrintDeviceTable(std::cout, rows);
    }
    return result;
}

std::vector<DeviceRow> DiscoverCommand::ReadDevices(ISkRefresh* refresh) const {
    std::vector<DeviceRow> rows;
    for (const auto& [id, listed] : m_ids) {
        ComPtr<IDispatch> dispatch;
        ComPtr<IMirelUdpDeviceInfo> info;
        if (FAILED(refresh->get_DeviceInfo(id, dispatch.ReleaseAndGetAddressOf())) ||
            FAILED(dispatch.As(IID_IMirelUdpDeviceInfo, &info)))
            continue;
        DeviceRow row;
        row.id = id;
        row.mac = ReadText(info.Get(), &IMirelUdpDeviceInfo::get_MacAddress);
        row.ip = ReadText(info.Get(), &IMirelUdpDeviceInfo::get_IpAddress);
        LONG ping = -1;
        info->get_Ping(&ping);
        row.ping = ping;
        row.version = ReadText(info.Get(), &IMirelUdpDeviceInfo::get_Version);
        row.buildId = ReadText(info.Get(), &IMirelUdpDeviceInfo::get_BuildId);
        row.project = ReadText(info.Get(), &IMirelUdpDeviceInfo::get_ProjectName);
        info->get_PcmMode(&row.mode);
        rows.push_back(std::move(row));
    }
    return rows;
}

}  // namespace mirel
