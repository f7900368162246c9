#pragma once
// mirel discover: scans the network and prints every device that answered.

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
    std::vector<DeviceRow> ReadDevices(ISkRefresh* refresh) const;

    bool m_json = false;
    int m_scans = 1;
    std::map<LONG, bool> m_ids;  // devices listed after the last event, in ID order
};

}  // namespace mirel
