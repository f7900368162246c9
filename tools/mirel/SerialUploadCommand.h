#pragma once
// mirel serial-upload: firmware into a Device Server through a serial port,
// with the SETUP hint while the device has not asked yet and a progress bar
// once it has.

#include <iosfwd>
#include <string>

#include "tools/mirel/Command.h"

namespace mirel {

struct SerialUploadOptions {
    std::string port;
    std::string file;
    double timeoutSeconds = 0;  // 0: wait for the device however long it takes
};

// kExitOk with the completion text on out; kExitDeviceError with "error N:
// TEXT" on err when the upload failed; kExitUsage when the port cannot be
// opened or Load failed (its HRESULT in hexadecimal and what it means);
// kExitTimeout when it had not ended in time (it is cancelled).
int RunSerialUpload(const SerialUploadOptions& options, std::ostream& out, std::ostream& err);

// mirel serial-upload PORT FILE [--timeout S]
class SerialUploadCommand : public Command {
public:
    CLI::App* Register(CLI::App& app) override;
    int Run() override;

private:
    SerialUploadOptions m_options;
};

}  // namespace mirel
