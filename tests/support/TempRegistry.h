#pragma once
// A registry of its own for one test: OSKAN_REGISTRY points into a fresh
// private folder for the test's life, and both go afterwards. A folder that
// cannot be made ends the test program: anything else would have the test
// use, and then remove, a folder that is not its own.

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "tests/support/TempFolder.h"

namespace oskan::test {

class TempRegistry {
public:
    TempRegistry() : m_dir(MakePrivateFolder("oskan-registry")) {
        m_path = m_dir + "/registry.reg";
        const char* previous = std::getenv("OSKAN_REGISTRY");
        m_hadPrevious = previous != nullptr;
        if (previous)
            m_previous = previous;
        setenv("OSKAN_REGISTRY", m_path.c_str(), 1);
    }
    ~TempRegistry() {
        if (m_hadPrevious)
            setenv("OSKAN_REGISTRY", m_previous.c_str(), 1);
        else
            unsetenv("OSKAN_REGISTRY");
        RemoveFolder(m_dir);
    }
    TempRegistry(const TempRegistry&) = delete;
    TempRegistry& operator=(const TempRegistry&) = delete;

    const std::string& Path() const { return m_path; }
    const std::string& Dir() const { return m_dir; }

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
    std::string m_dir;
    std::string m_path;
    std::string m_previous;
    bool m_hadPrevious = false;
};

}  // namespace oskan::test
