#pragma once
// regsvr --version-info: prints the version record of a library file.

#include <ostream>
#include <string>

namespace regsvr {

class VersionInfoPrinter {
public:
    VersionInfoPrinter(std::ostream& out, std::ostream& err) : m_out(out), m_err(err) {}
    // False (and a message) when the file has no readable record.
    bool Print(const std::string& path);

private:
    std::ostream& m_out;
    std::ostream& m_err;
};

}  // namespace regsvr
