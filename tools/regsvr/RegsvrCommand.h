#pragma once
// regsvr [-u] [-s] LIBRARY...: registers (or unregisters) self-registering
// component libraries into the registry, as regsvr32 does, by calling their
// DllRegisterServer (DllUnregisterServer).
//
// Exit codes, those of regsvr32: 0 done; 1 bad arguments; 2 the registry
// cannot be used; 3 a library cannot be loaded; 4 it has no such entry point;
// 5 the entry point failed. With several libraries, each is tried and the
// first failure's code is returned.

#include <CLI/CLI.hpp>

#include <ostream>
#include <string>
#include <vector>

namespace regsvr {

constexpr int kExitOk = 0;
constexpr int kExitArguments = 1;
constexpr int kExitRegistry = 2;
constexpr int kExitLoad = 3;
constexpr int kExitEntryPoint = 4;
constexpr int kExitFailed = 5;

class RegsvrCommand {
public:
    RegsvrCommand(std::ostream& out, std::ostream& err) : m_out(out), m_err(err) {}

    // Declares the options on the application.
    void Register(CLI::App& app);
    int Run();

private:
    int RunOne(const std::string& library);

    std::ostream& m_out;
    std::ostream& m_err;
    std::vector<std::string> m_libraries;
    bool m_unregister = false;
    bool m_silent = false;
    bool m_versionInfo = false;
};

}  // namespace regsvr
