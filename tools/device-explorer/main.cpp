// device-explorer: the Device Explorer as a desktop program. It creates
// "Qx318ui.BrowseDlg" by ProgID, as any host does, and runs it: on its own
// (standalone mode), or with --select as a device picker for scripts, which
// prints the chosen SkOS device's MAC address.

#include <CLI/CLI.hpp>
#include <QApplication>
#include <cstdio>
#include <iostream>
#include <string>

#include "qx318ui/Qx318Interfaces.h"
#include "winport/automation/oleauto.h"
#include "winport/base/errors.h"
#include "winport/com/objbase.h"
#include "winport/registry/registry.h"

namespace {

constexpr int kExitOk = 0;
constexpr int kExitNoChoice = 1;
constexpr int kExitUsage = 2;

struct Options {
    bool select = false;
    std::string mac;
};

HRESULT CreateDialog(ComPtr<ISkDialog>* dialog) {
    CLSID clsid{};
    HRESULT hr = CLSIDFromProgID(u"Qx318ui.BrowseDlg", &clsid);
    if (SUCCEEDED(hr))
        hr = CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_ISkDialog,
                              dialog->ReleaseAndGetVoidAddressOf());
    if (FAILED(hr) && (hr == CO_E_CLASSSTRING || hr == REGDB_E_CLASSNOTREG))
        std::cerr << "device-explorer: Qx318ui.BrowseDlg is not registered in " << winport::RegistryPath()
                  << "; register the components first: regsvr PATH/libMirel.so PATH/libqx318ui.so\n";
    else if (FAILED(hr))
        std::cerr << "device-explorer: cannot create Qx318ui.BrowseDlg: "
                  << winport::ErrorText(static_cast<uint32_t>(hr)) << " (" << winport::LastActivationError()
                  << ")\n";
    return hr;
}

int Run(const Options& options) {
    ComPtr<ISkDialog> dialog;
    if (FAILED(CreateDialog(&dialog)))
        return kExitUsage;
    dialog->put_Flags(options.select ? 0 : QBDF_STANDALONE_MODE);
    if (!options.mac.empty()) {
        VARIANT input;
        VariantInit(&input);
        V_VT(&input) = VT_BSTR;
        V_BSTR(&input) = winport::AnsiToBstr(options.mac);
        dialog->put_Input(input);
        VariantClear(&input);
    }
    LONG result = 0;
    const HRESULT hr = dialog->DoModal(&result);
    if (FAILED(hr)) {
        std::cerr << "device-explorer: cannot show the Device Explorer: "
                  << winport::ErrorText(static_cast<uint32_t>(hr)) << "\n";
        return kExitUsage;
    }
    if (!options.select)
        return kExitOk;
    if (result != 1)
        return kExitNoChoice;
    VARIANT output;
    dialog->get_Output(&output);
    const bool chosen = V_VT(&output) == VT_BSTR;
    if (chosen)
        std::cout << winport::BstrToAnsi(V_BSTR(&output)) << std::endl;
    VariantClear(&output);
    return chosen ? kExitOk : kExitNoChoice;
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app("Lists the devices on the local network and works with them", "device-explorer");
    Options options;
    app.add_flag("--select", options.select,
                 "Pick one SkOS device: its MAC address is printed, exit 0; closed without a choice, exit 1");
    app.add_option("--mac", options.mac,
                   "With --select: the MAC address of the device to select once it is found");
    try {
        app.parse(argc, argv);
        if (!options.mac.empty() && !options.select)
            throw CLI::ValidationError("--mac", "needs --select");
    } catch (const CLI::ParseError& e) {
        const int code = app.exit(e);
        return code == 0 ? kExitOk : kExitUsage;
    }
    QApplication application(argc, argv);
    QApplication::setApplicationName(QStringLiteral("device-explorer"));
    QApplication::setDesktopFileName(QStringLiteral("device-explorer"));
    return Run(options);
}
