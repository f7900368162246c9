#pragma once
// A registry of its own for one test: OSKAN_REGISTRY points into a fresh
// private folder for the test's life, and both go afterwards. A folder that
// cannot be made ends the test program: anything else would have the test
// use, and then remove, a folder that is not its own.

#include <fstream>
#include <sstream>
#include <string>

#include "tests/support/ScopedEnv.h"
#include "tests/support/TempFolder.h"

namespace oskan::test {

class TempRegistry {
public:
    TempRegistry() : m_path(m_folder.File("registry.reg")), m_env("OSKAN_REGISTRY", m_path) {}
    TempRegistry(const TempRegistry&) = delete;
    TempRegistry& operator=(const TempRegistry&) = delete;

    const std::string& Path() const { return m_path; }
    const std::string& Dir() const { return m_folder.Path(); }

    // The file's text; empty when there is no file.
    std::string Text() const {
        std::ifstream in(m_path, std::ios::binary);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }
    void Write(const std::string& text) const {
        std::ofstream out(m_path, std::ios::binary | std::ios::trunc);
        out << text;
    }

private:
    TempFolder m_folder{"oskan-registry"};
    std::string m_path;
    ScopedEnv m_env;
};

}  // namespace oskan::test
