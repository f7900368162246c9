#include "tools/mirel/SerialUploadCommand.h"

#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <iostream>

#include "Mirel/MirelEvents.h"
#include "Mirel/MirelInterfaces.h"
#include "tools/Printable.h"
#include "tools/mirel/ObjectFactory.h"
#include "tools/mirel/ProgressDisplay.h"
#include "winport/base/errors.h"
#include "winport/host/Bstr.h"
#include "winport/host/DispatchSink.h"
#include "winport/host/EventConnection.h"
#include "winport/loop/ServiceLoop.h"

namespace mirel {

namespace {

using oskan::tools::PrintableLines;

constexpr const char16_t* kSerialLoaderProgID = u"ods.serialloader";
constexpr double kMaxTimeoutSeconds = 7 * 24 * 3600;
constexpr const char* kSetupHint = "Reboot Device with \"SETUP\" button pressed...";
constexpr const char* kLoadingLabel = "Loading firmware, please wait...";

struct Outcome {
    bool done = false;
    LONG error = 0;
    std::string details;
};

std::string Hex(HRESULT hr) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", static_cast<uint32_t>(hr));
    return text;
}

std::string LoadFailureText(HRESULT hr) {
    if (hr == HRESULT_FROM_WIN32(ERROR_BAD_FORMAT))
        return "the file must be a whole number of 128-byte blocks, at least one, at most 16 MiB";
    return winport::ErrorText(static_cast<uint32_t>(hr));
}

// The serial loader with sinks on its connection and loader events.
class SerialSession {
public:
    SerialSession(Outcome& connected, Outcome& loaded, ProgressDisplay*& display, std::ostream& err) {
        if (FAILED(ObjectFactory::Create(kSerialLoaderProgID, IID_ISkConnection,
                                         m_connection.ReleaseAndGetVoidAddressOf(), &m_problem)))
            return;
        if (FAILED(m_connection.As(IID_ISkLoader, &m_loader))) {
            m_problem = "the serial loader has no loader interface";
            return;
        }
        using winport::DispatchSink;
        m_connectionSink =
            DispatchSink::Create(DIID__ISkConnectionEvents, [&](DISPID id, const DISPPARAMS& p) {
                if (id == DISPID_OnConnectComplete) {
                    connected.done = true;
                    connected.error = DispatchSink::IntArg(p, 0);
                    connected.details = DispatchSink::TextArg(p, 1);
                }
            });
        m_loaderSink = DispatchSink::Create(DIID__ISkLoaderEvents, [&](DISPID id, const DISPPARAMS& p) {
            if (id == DISPID_OnLoadProgress) {
                if (!display) {  // the device has asked: the hint gives way to the bar
                    display = &m_bar;
                    if (!m_bar.Enabled())
                        err << kLoadingLabel << "\n";
                }
                m_bar.Update(DispatchSink::IntArg(p, 0));
            } else if (id == DISPID_OnLoadComplete) {
                loaded.done = true;
                loaded.error = DispatchSink::IntArg(p, 0);
                loaded.details = DispatchSink::TextArg(p, 1);
            }
        });
        m_connectionEvents =
            winport::EventConnection(m_connection.Get(), DIID__ISkConnectionEvents, m_connectionSink.Get());
        m_loaderEvents =
            winport::EventConnection(m_connection.Get(), DIID__ISkLoaderEvents, m_loaderSink.Get());
    }

    bool Ready() const { return m_connectionEvents.Connected() && m_loaderEvents.Connected(); }
    const std::string& Problem() const { return m_problem; }
    ISkConnection* Connection() const { return m_connection.Get(); }
    ISkLoader* Loader() const { return m_loader.Get(); }
    void FinishBar() { m_bar.Finish(); }

private:
    ComPtr<ISkConnection> m_connection;
    ComPtr<ISkLoader> m_loader;
    ComPtr<winport::DispatchSink> m_connectionSink;
    ComPtr<winport::DispatchSink> m_loaderSink;
    winport::EventConnection m_connectionEvents;
    winport::EventConnection m_loaderEvents;
    ProgressDisplay m_bar{kLoadingLabel};
    std::string m_problem = "cannot connect to the serial loader's events";
};

}  // namespace

int RunSerialUpload(const SerialUploadOptions& options, std::ostream& out, std::ostream& err) {
    if (!(options.timeoutSeconds >= 0 && options.timeoutSeconds <= kMaxTimeoutSeconds)) {
        err << "mirel: --timeout must be 0 (no limit) or up to " << static_cast<long>(kMaxTimeoutSeconds)
            << " seconds\n";
        return kExitUsage;
    }
    Outcome connected;
    Outcome loaded;
    ProgressDisplay* bar = nullptr;
    SerialSession session(connected, loaded, bar, err);
    if (!session.Ready()) {
        err << "mirel: " << session.Problem() << "\n";
        return kExitUsage;
    }
    if (FAILED(session.Connection()->put_Address(winport::Bstr::FromUtf8(options.port).get())) ||
        FAILED(session.Connection()->Connect()) || !connected.done) {
        err << "mirel: the serial loader refused the port " << options.port << "\n";
        return kExitUsage;
    }
    if (connected.error != 0) {
        err << "mirel: error " << connected.error << ": " << PrintableLines(connected.details) << "\n";
        return kExitUsage;
    }
    if (HRESULT hr = session.Loader()->Load(winport::Bstr::FromUtf8(options.file).get(), 0); FAILED(hr)) {
        err << "mirel: cannot upload " << options.file << ": " << Hex(hr) << ": " << LoadFailureText(hr)
            << "\n";
        return kExitUsage;
    }
    // The hint stays until the device asks; a terminal shows it as the label
    // of a bar that has not moved yet.
    ProgressDisplay hint(kSetupHint);
    if (hint.Enabled())
        hint.Update(0);
    else
        err << kSetupHint << "\n";
    auto ended = [&] {
        if (bar)
            hint.Finish();
        return loaded.done;
    };
    winport::ServiceLoop& loop = winport::ServiceLoop::Current();
    bool done;
    if (options.timeoutSeconds > 0) {
        done = loop.RunUntil(ended, static_cast<uint32_t>(std::ceil(options.timeoutSeconds * 1000)));
    } else {
        while (!(done = loop.RunUntil(ended, 60000)))
            ;  // no limit: a quiet minute is just the user finding the button
    }
    hint.Finish();
    session.FinishBar();
    if (!done) {
        session.Loader()->Cancel();
        session.Connection()->Disconnect();
        err << "mirel: timed out after " << options.timeoutSeconds << " s: the upload through "
            << options.port << " did not end\n";
        return kExitTimeout;
    }
    session.Connection()->Disconnect();
    if (loaded.error != 0) {
        err << "mirel: error " << loaded.error << ": " << PrintableLines(loaded.details) << "\n";
        return kExitDeviceError;
    }
    out << PrintableLines(loaded.details) << "\n";
    return kExitOk;
}

CLI::App* SerialUploadCommand::Register(CLI::App& app) {
    CLI::App* sub =
        app.add_subcommand("serial-upload", "Upload firmware into a Device Server through a serial port");
    sub->add_option("PORT", m_options.port, "The serial port, e.g. /dev/ttyUSB0")->required();
    sub->add_option("FILE", m_options.file, "The firmware file (*.bin)")->required();
    sub->add_option("--timeout", m_options.timeoutSeconds,
                    "Seconds the whole upload may take, the wait for the device included, before it is "
                    "cancelled (default 0: no limit)");
    return sub;
}

int SerialUploadCommand::Run() {
    return RunSerialUpload(m_options, std::cout, std::cerr);
}

}  // namespace mirel
