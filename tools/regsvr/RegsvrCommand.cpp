#include "tools/regsvr/RegsvrCommand.h"

#include <cstdio>
#include <filesystem>

#include "tools/regsvr/ServerLibrary.h"
#include "tools/regsvr/VersionInfoPrinter.h"
#include "winport/base/errors.h"
#include "winport/registry/registry.h"

namespace regsvr {

namespace {

// The path as the registry will name the library: absolute, without resolving
// links, so that a registration made through libX.so follows later versions.
std::string AbsolutePath(const std::string& path) {
    std::error_code error;
    std::filesystem::path absolute = std::filesystem::absolute(path, error);
    return error ? path : absolute.lexically_normal().string();
}

std::string HexCode(HRESULT hr) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(hr));
    return text;
}

}  // namespace

void RegsvrCommand::Register(CLI::App& app) {
    app.add_flag("-u,--unregister", m_unregister, "Unregister the libraries (DllUnregisterServer)");
    app.add_flag("-s,--silent", m_silent, "Print nothing when a library succeeds");
    app.add_flag("--version-info", m_versionInfo,
                 "Print the version record of each library; register nothing");
    app.add_option("LIBRARY", m_libraries, "Self-registering component libraries")->required();
}

int RegsvrCommand::Run() {
    if (m_versionInfo) {
        VersionInfoPrinter printer(m_out, m_err);
        int result = kExitOk;
        for (const auto& library : m_libraries)
            if (!printer.Print(library) && result == kExitOk)
                result = kExitLoad;
        return result;
    }
    std::string problem;
    if (!winport::CheckRegistry(&problem)) {
        m_err << "regsvr: the registry cannot be used: " << problem << "\n";
        return kExitRegistry;
    }
    int result = kExitOk;
    for (const auto& library : m_libraries) {
        int code = RunOne(library);
        if (result == kExitOk)
            result = code;
    }
    return result;
}

int RegsvrCommand::RunOne(const std::string& library) {
    const char* entry = m_unregister ? "DllUnregisterServer" : "DllRegisterServer";
    std::string path = AbsolutePath(library);
    ServerLibrary server;
    std::string error;
    if (!server.Load(path, &error)) {
        m_err << "regsvr: cannot load " << path << ": " << error << "\n";
        return kExitLoad;
    }
    HRESULT hr = S_OK;
    if (!server.Call(entry, &hr)) {
        m_err << "regsvr: " << path << " is not a self-registering library: it has no " << entry
              << " entry point\n";
        return kExitEntryPoint;
    }
    if (FAILED(hr)) {
        m_err << "regsvr: " << entry << " in " << path << " failed with " << HexCode(hr) << ": "
              << winport::ErrorText(static_cast<uint32_t>(hr)) << "\n";
        return kExitFailed;
    }
    if (!m_silent)
        m_out << entry << " in " << path << " succeeded (registry " << winport::RegistryPath() << ").\n";
    return kExitOk;
}

}  // namespace regsvr
