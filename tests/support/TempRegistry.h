#pragma once
// A registry of its own for one test: OSKAN_REGISTRY points into a fresh
// temporary folder for the test's life, and both go afterwards.

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

namespace oskan::test {

class TempRegistry {
public:
    TempRegistry() {
        char pattern[] = "/tmp/oskan-registry-XXXXXX";
        const char* dir = mkdtemp(pattern);
        m_dir = dir ? dir : "/tmp";
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
        RemoveTree(m_dir);
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
    static void RemoveTree(const std::string& path) {
        if (DIR* dir = opendir(path.c_str())) {
            while (dirent* entry = readdir(dir)) {
                std::string name = entry->d_name;
                if (name == "." || name == "..")
                    continue;
                std::string child = path + "/" + name;
                struct stat st {};
                if (lstat(child.c_str(), &st) == 0 && S_ISDIR(st.st_mode))
                    RemoveTree(child);
                else
                    unlink(child.c_str());
            }
            closedir(dir);
        }
        rmdir(path.c_str());
    }

    std::string m_dir;
    std::string m_path;
    std::string m_previous;
    bool m_hadPrevious = false;
};

}  // namespace oskan::test
