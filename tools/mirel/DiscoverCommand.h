#pragma once
// mirel discover: scans the network and prints every device that answered;
// with --all, the fixed-firmware Device Servers too.

#include <map>
#include <string>
#include <vector>

#include "Mirel/MirelInterfaces.h"
#include "tools/mirel/Command.h"
#include "tools/mirel/DeviceListOutput.h"

namespace mirel {

class DiscoverCommand : public Command {
public:
    CLI::App* Register(CLI::App& app) override;
    int Run() override;

private:
    // One discovery object and what its events said.
    struct Scanner {
        ComPtr<ISkRefresh> refresh;
        std::map<LONG, bool> ids;  // devices listed after the last event, in ID order
        int percentage = 0;
        bool complete = false;
        LONG error = 0;
        std::string details;
    };

    std::vector<DeviceRow> ReadDevices(const Scanner& scanner) const;
    std::vector<DeviceRow> ReadServers(const Scanner& scanner) const;

    bool m_json = false;
    bool m_all = false;
    int m_scans = 1;
};

}  // namespace mirel
