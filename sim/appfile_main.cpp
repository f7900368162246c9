// skos-appfile: writes a valid compiled application file (*.opc) for tests and
// the demo: header, pseudo-random code, and the string area with the build
// identifier, the firmware platform it needs and the project name.

#include <CLI/CLI.hpp>

#include <cstdio>
#include <cstring>
#include <fstream>

#include "sim/SimAppFile.h"

int main(int argc, char** argv) {
    CLI::App app("Writes a compiled SkOS application file", "skos-appfile");
    std::string output;
    std::string platform;
    oskan::sim::SimApplicationFile file;
    app.add_option("OUTPUT", output, "The file to write")->required();
    app.add_option("--build-id", file.buildId, "Build identifier (default sim-app)");
    app.add_option("--platform", platform,
                   "Firmware platform the application needs, e.g. P-1.2 (default: any)");
    app.add_option("--project", file.projectName, "Project name (default SIM)");
    app.add_option("--code-bytes", file.codeBytes, "Bytes of code (default 1024)")
        ->check(CLI::Range(0, 8 << 20));
    app.add_option("--seed", file.seed, "Seed of the code bytes (default 1)");
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        return app.exit(e) == 0 ? 0 : 2;
    }
    if (!platform.empty())
        file.platform = platform;

    const std::vector<uint8_t> image = oskan::sim::MakeApplicationFile(file);
    std::ofstream out(output, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(image.data()), static_cast<std::streamsize>(image.size()));
    out.close();
    if (!out) {
        std::fprintf(stderr, "skos-appfile: cannot write %s: %s\n", output.c_str(), std::strerror(errno));
        return 1;
    }
    std::printf("%s: %zu bytes, %zu blocks, build %s\n", output.c_str(), image.size(), image.size() / 128,
                file.buildId.c_str());
    return 0;
}
