#include "tools/mirel/DiscoverCommand.h"

#include <algorithm>
#include <iostream>
#include <memory>

#include "Mirel/MirelEvents.h"
#include "ods/OdsInterfaces.h"
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

template <class Info>
std::string ReadText(Info* info, HRESULT (Info::*get)(BSTR*)) {
    winport::Bstr text;
    if (FAILED((info->*get)(&text)))
        return {};
    return winport::BstrToAnsi(text.get());
}

}  // namespace

CLI::App* DiscoverCommand::Register(CLI::App& app) {
    CLI::App* sub = app.add_subcommand("discover", "Find the devices on the local network and list them");
    sub->add_flag("--json", m_json, "Print the list as a JSON array");
    sub->add_flag("--all", m_all, "List fixed-firmware Device Servers too (a KIND column: skos or fixed)");
    sub->add_option("--scans", m_scans, "Number of scans to run one after the other (default 1)")
        ->check(CLI::Range(1, 1000));
    return sub;
}

int DiscoverCommand::Run() {
    // SkOS devices, and with --all the Device Servers, scanned side by side.
    std::vector<std::unique_ptr<Scanner>> scanners;
    for (const char16_t* progId : {kRefreshProgID, kServerRefreshProgID}) {
        if (progId == kServerRefreshProgID && !m_all)
            break;
        auto scanner = std::make_unique<Scanner>();
        std::string problem;
        if (FAILED(ObjectFactory::Create(progId, IID_ISkRefresh,
                                         scanner->refresh.ReleaseAndGetVoidAddressOf(), &problem))) {
            std::cerr << "mirel: " << problem << "\n";
            return kExitUsage;
        }
        scanners.push_back(std::move(scanner));
    }

    ProgressDisplay progress("scanning");
    int scan = 1;
    std::vector<ComPtr<winport::DispatchSink>> sinks;
    std::vector<winport::EventConnection> connections;
    for (auto& owned : scanners) {
        Scanner* scanner = owned.get();
        sinks.push_back(winport::DispatchSink::Create(
            DIID__ISkRefreshEvents, [&, scanner](DISPID id, const DISPPARAMS& p) {
                using winport::DispatchSink;
                switch (id) {
                    case DISPID_OnRefreshProgress: {
                        scanner->percentage = DispatchSink::IntArg(p, 0);
                        int least = 100;
                        size_t listed = 0;
                        for (const auto& each : scanners) {
                            least = std::min(least, each->percentage);
                            listed += each->ids.size();
                        }
                        progress.Update(least, "scan " + std::to_string(scan) + "/" +
                                                   std::to_string(m_scans) + ", " + std::to_string(listed) +
                                                   " devices");
                        break;
                    }
                    case DISPID_OnDeviceUpdate:
                        scanner->ids[DispatchSink::IntArg(p, 0)] = true;
                        break;
                    case DISPID_OnDeviceRemove:
                        scanner->ids.erase(DispatchSink::IntArg(p, 0));
                        break;
                    case DISPID_OnRefreshComplete:
                        scanner->complete = true;
                        scanner->error = DispatchSink::IntArg(p, 0);
                        scanner->details = DispatchSink::TextArg(p, 1);
                        break;
                }
            }));
        connections.emplace_back(scanner->refresh.Get(), DIID__ISkRefreshEvents, sinks.back().Get());
        if (!connections.back().Connected()) {
            std::cerr << "mirel: cannot connect to the discovery events\n";
            return kExitUsage;
        }
    }

    int result = kExitOk;
    for (scan = 1; scan <= m_scans && result == kExitOk; ++scan) {
        for (auto& scanner : scanners) {
            scanner->complete = false;
            scanner->percentage = 0;
            if (FAILED(scanner->refresh->Refresh())) {
                progress.Finish();
                std::cerr << "mirel: cannot open the discovery socket: "
                          << winport::ErrorText(WSAGetLastError()) << "\n";
                for (auto& started : scanners)
                    started->refresh->Cancel();
                return kExitUsage;
            }
        }
        winport::ServiceLoop::Current().RunUntil(
            [&] {
                for (const auto& scanner : scanners)
                    if (!scanner->complete)
                        return false;
                return true;
            },
            24 * 3600 * 1000);
        for (const auto& scanner : scanners) {
            if (scanner->error != 0 && result == kExitOk) {
                progress.Finish();
                std::cerr << "mirel: error " << scanner->error << ": "
                          << oskan::tools::Printable(scanner->details) << " ("
                          << winport::ErrorText(scanner->error) << ")\n";
                result = kExitDeviceError;
            }
        }
    }
    progress.Finish();
    if (result != kExitOk)
        return result;
    std::vector<DeviceRow> rows = ReadDevices(*scanners[0]);
    if (m_all) {
        std::vector<DeviceRow> servers = ReadServers(*scanners[1]);
        rows.insert(rows.end(), servers.begin(), servers.end());
    }
    if (m_json)
        PrintDeviceJson(std::cout, rows, m_all);
    else
        PrintDeviceTable(std::cout, rows, m_all);
    return result;
}

std::vector<DeviceRow> DiscoverCommand::ReadDevices(const Scanner& scanner) const {
    std::vector<DeviceRow> rows;
    for (const auto& [id, listed] : scanner.ids) {
        ComPtr<IDispatch> dispatch;
        ComPtr<IMirelUdpDeviceInfo> info;
        if (FAILED(scanner.refresh->get_DeviceInfo(id, dispatch.ReleaseAndGetAddressOf())) ||
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

std::vector<DeviceRow> DiscoverCommand::ReadServers(const Scanner& scanner) const {
    std::vector<DeviceRow> rows;
    for (const auto& [id, listed] : scanner.ids) {
        ComPtr<IDispatch> dispatch;
        ComPtr<IFixedFirmwareDeviceInfo> info;
        if (FAILED(scanner.refresh->get_DeviceInfo(id, dispatch.ReleaseAndGetAddressOf())) ||
            FAILED(dispatch.As(IID_IFixedFirmwareDeviceInfo, &info)))
            continue;
        DeviceRow row;
        row.kind = DeviceKind::Fixed;
        row.id = id;
        row.mac = ReadText(info.Get(), &IFixedFirmwareDeviceInfo::get_MacAddress);
        row.ip = ReadText(info.Get(), &IFixedFirmwareDeviceInfo::get_IpAddress);
        LONG value = -1;
        info->get_Ping(&value);
        row.ping = value;
        row.version = ReadText(info.Get(), &IFixedFirmwareDeviceInfo::get_Version);
        value = 0;
        info->get_DirectAccess(&value);
        row.directAccess = value != 0;
        row.description = ReadText(info.Get(), &IFixedFirmwareDeviceInfo::get_FirstDescription);
        const std::string second = ReadText(info.Get(), &IFixedFirmwareDeviceInfo::get_SecondDescription);
        if (!second.empty())
            row.description += (row.description.empty() ? "" : " / ") + second;
        rows.push_back(std::move(row));
    }
    return rows;
}

}  // namespace mirel
