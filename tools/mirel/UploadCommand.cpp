#include "tools/mirel/UploadCommand.h"

#include <sys/stat.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <iostream>

#include "Mirel/MirelEvents.h"
#include "Mirel/MirelInterfaces.h"
#include "common/skloader.h"
#include "tools/Printable.h"
#include "tools/mirel/DeviceCommand.h"
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

using oskan::tools::PrintableLines;

constexpr double kMaxTimeoutSeconds = 7 * 24 * 3600;
constexpr HRESULT kBadFormat = HRESULT_FROM_WIN32(ERROR_BAD_FORMAT);

struct Completion {
    bool done = false;
    LONG error = 0;
    std::string details;
};

std::string Hex(HRESULT hr) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", static_cast<uint32_t>(hr));
    return text;
}

// What a failed Load means, in the terms of this tool.
std::string LoadFailureText(HRESULT hr, const UploadOptions& options) {
    if (hr == kBadFormat) {
        return std::string("the file must be a whole number of 128-byte blocks, at least one and at most ") +
               (options.fixedFirmware ? "65,535" : "65,536");
    }
    return winport::ErrorText(static_cast<uint32_t>(hr));
}

std::string Rate(double bytesPerSecond) {
    char text[32];
    if (bytesPerSecond >= 1024 * 1024)
        std::snprintf(text, sizeof text, "%.1f MiB/s", bytesPerSecond / (1024 * 1024));
    else
        std::snprintf(text, sizeof text, "%.1f KiB/s", bytesPerSecond / 1024);
    return text;
}

std::string Duration(double seconds) {
    const long total = std::lround(seconds);
    char text[32];
    std::snprintf(text, sizeof text, "%ld:%02ld", total / 60, total % 60);
    return text;
}

// Percentage, rate and time left, from the file size and the time so far.
class UploadProgress {
public:
    UploadProgress(double fileBytes) : m_bytes(fileBytes), m_start(std::chrono::steady_clock::now()) {}
    void Show(int percentage) {
        const double elapsed =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - m_start).count();
        const double done = m_bytes * percentage / 100.0;
        std::string detail;
        if (elapsed > 0 && done > 0) {
            const double rate = done / elapsed;
            detail = Rate(rate) + ", " + Duration((m_bytes - done) / rate) + " left";
        }
        m_display.Update(percentage, detail);
    }
    void Finish() { m_display.Finish(); }

private:
    double m_bytes;
    std::chrono::steady_clock::time_point m_start;
    ProgressDisplay m_display{"uploading"};
};

std::string CheckOptions(const UploadOptions& options) {
    if (!IsMacText(options.mac))
        return "'" + options.mac +
               "' is not a MAC address (six numbers of 0 to 255 joined by '.', e.g. 2.0.0.1.2.3)";
    if (!(options.timeoutSeconds > 0 && options.timeoutSeconds <= kMaxTimeoutSeconds))
        return "--timeout must be more than 0 and at most " +
               std::to_string(static_cast<long>(kMaxTimeoutSeconds)) + " seconds";
    if ((options.skipIfLoaded || options.checkFirmware) && !options.application)
        return "--skip-if-loaded and --check-firmware apply to application files (--application)";
    return {};
}

// The device object with a sink on its loader events, for one upload.
class UploadSession {
public:
    UploadSession(Completion& completion, UploadProgress& progress) {
        if (FAILED(ObjectFactory::Create(kDeviceProgID, IID_ISkConnection,
                                         m_connection.ReleaseAndGetVoidAddressOf(), &m_problem))) {
            return;
        }
        if (FAILED(m_connection.As(IID_ISkLoader, &m_loader))) {
            m_problem = "the device object has no loader interface";
            return;
        }
        m_sink = winport::DispatchSink::Create(DIID__ISkLoaderEvents, [&](DISPID id, const DISPPARAMS& p) {
            using winport::DispatchSink;
            if (id == DISPID_OnLoadProgress) {
                progress.Show(DispatchSink::IntArg(p, 0));
            } else if (id == DISPID_OnLoadComplete) {
                completion.done = true;
                completion.error = DispatchSink::IntArg(p, 0);
                completion.details = DispatchSink::TextArg(p, 1);
            }
        });
        m_events = winport::EventConnection(m_connection.Get(), DIID__ISkLoaderEvents, m_sink.Get());
    }
    UploadSession(const UploadSession&) = delete;
    UploadSession& operator=(const UploadSession&) = delete;

    bool Ready() const { return m_events.Connected(); }
    // Why the session is not ready.
    const std::string& Problem() const { return m_problem; }
    ISkConnection* Connection() const { return m_connection.Get(); }
    ISkLoader* Loader() const { return m_loader.Get(); }

private:
    ComPtr<ISkConnection> m_connection;
    ComPtr<ISkLoader> m_loader;
    ComPtr<winport::DispatchSink> m_sink;
    winport::EventConnection m_events;
    std::string m_problem = "cannot connect to the device object's events";
};

HRESULT PutAddress(ISkConnection* connection, const std::string& mac) {
    return connection->put_Address(winport::Bstr::FromUtf8(mac).get());
}

HRESULT Load(ISkLoader* loader, const std::string& file, int flags) {
    return loader->Load(winport::Bstr::FromUtf8(file).get(), flags);
}

double FileBytes(const std::string& file) {
    struct stat info {};
    return stat(file.c_str(), &info) == 0 ? static_cast<double>(info.st_size) : 0;
}

}  // namespace

int UploadFlags(const UploadOptions& options) {
    return (options.application ? OLF_LOAD_APPLICATION : 0) |
           (options.skipIfLoaded ? OLF_SKIP_IF_LOADED : 0) |
           (options.checkFirmware ? OLF_CHECK_FIRMWARE_VERSION : 0) |
           (options.fixedFirmware ? OLF_FIXED_FIRMWARE : 0);
}

int RunUpload(const UploadOptions& options, std::ostream& out, std::ostream& err) {
    if (std::string problem = CheckOptions(options); !problem.empty()) {
        err << "mirel: " << problem << "\n";
        return kExitUsage;
    }
    Completion completion;
    UploadProgress progress(FileBytes(options.file));
    UploadSession session(completion, progress);
    if (!session.Ready()) {
        err << "mirel: " << session.Problem() << "\n";
        return kExitUsage;
    }
    if (FAILED(PutAddress(session.Connection(), options.mac))) {
        err << "mirel: the device object refused the address " << options.mac << "\n";
        return kExitUsage;
    }
    if (FAILED(session.Connection()->Connect())) {
        err << "mirel: cannot open a UDP socket: "
            << winport::ErrorText(static_cast<uint32_t>(WSAGetLastError())) << "\n";
        return kExitUsage;
    }
    if (HRESULT hr = Load(session.Loader(), options.file, UploadFlags(options)); FAILED(hr)) {
        err << "mirel: cannot upload " << options.file << ": " << Hex(hr) << ": "
            << LoadFailureText(hr, options) << "\n";
        return kExitUsage;
    }
    const auto timeoutMs = static_cast<uint32_t>(std::ceil(options.timeoutSeconds * 1000));
    const bool ended = winport::ServiceLoop::Current().RunUntil([&] { return completion.done; }, timeoutMs);
    progress.Finish();
    if (!ended) {
        session.Loader()->Cancel();
        err << "mirel: timed out after " << options.timeoutSeconds << " s: the upload to " << options.mac
            << " did not end\n";
        return kExitTimeout;
    }
    session.Connection()->Disconnect();
    if (completion.error != 0) {
        err << "mirel: error " << completion.error << ": " << PrintableLines(completion.details) << "\n";
        return kExitDeviceError;
    }
    out << PrintableLines(completion.details) << "\n";
    return kExitOk;
}

CLI::App* UploadCommand::Register(CLI::App& app) {
    CLI::App* sub = app.add_subcommand("upload", "Upload a firmware or application file into a device");
    sub->add_option("MAC", m_options.mac, "The device's MAC address, e.g. 2.0.0.1.2.3")->required();
    sub->add_option("FILE", m_options.file, "The firmware (*.bin) or application (*.opc) file")->required();
    sub->add_flag("--application", m_options.application, "FILE is a compiled application, not firmware");
    sub->add_flag("--skip-if-loaded", m_options.skipIfLoaded,
                  "Do nothing when the device already runs this application's build");
    sub->add_flag("--check-firmware", m_options.checkFirmware,
                  "Refuse an application built for another firmware platform than the device runs");
    sub->add_flag("--fixed-firmware", m_options.fixedFirmware,
                  "The device is a fixed-firmware Device Server");
    sub->add_option("--timeout", m_options.timeoutSeconds,
                    "Seconds the whole upload may take before it is cancelled (default 600)");
    return sub;
}

int UploadCommand::Run() {
    return RunUpload(m_options, std::cout, std::cerr);
}

}  // namespace mirel
