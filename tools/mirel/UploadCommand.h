#pragma once
// mirel upload: uploads a firmware or application file into one device,
// addressed by its MAC, with a progress bar on a terminal.

#include <iosfwd>
#include <string>

#include "tools/mirel/Command.h"

namespace mirel {

struct UploadOptions {
    std::string mac;
    std::string file;
    bool application = false;
    bool skipIfLoaded = false;
    bool checkFirmware = false;
    bool fixedFirmware = false;
    double timeoutSeconds = 600;
};

// The loader's flags for the options.
int UploadFlags(const UploadOptions& options);

// What the upload runs to: kExitOk with the completion text on out;
// kExitDeviceError with "error N: TEXT" on err when the device refused;
// kExitUsage when the options are bad or Load itself failed (its HRESULT in
// hexadecimal and what it means); kExitTimeout when the upload did not end in
// time (it is cancelled).
int RunUpload(const UploadOptions& options, std::ostream& out, std::ostream& err);

// mirel upload MAC FILE [--application] [--skip-if-loaded] [--check-firmware]
//                       [--fixed-firmware] [--timeout S]
class UploadCommand : public Command {
public:
    CLI::App* Register(CLI::App& app) override;
    int Run() override;

private:
    UploadOptions m_options;
};

}  // namespace mirel
