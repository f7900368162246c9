#pragma once
// Sets or unsets one environment variable for a scope and gives it back its
// value (or its absence) afterwards, so that no test leaks its environment
// into the next.

#include <cstdlib>
#include <optional>
#include <string>

namespace oskan::test {

class ScopedEnv {
public:
    // value null: the variable is unset for the scope.
    ScopedEnv(const char* name, const char* value) : m_name(name) {
        if (const char* previous = std::getenv(name))
            m_previous = previous;
        Set(value);
    }
    ScopedEnv(const char* name, const std::string& value) : ScopedEnv(name, value.c_str()) {}
    ~ScopedEnv() { Set(m_previous ? m_previous->c_str() : nullptr); }
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

    // Another value within the same scope.
    void Set(const char* value) const {
        if (value)
            setenv(m_name.c_str(), value, 1);
        else
            unsetenv(m_name.c_str());
    }

private:
    std::string m_name;
    std::optional<std::string> m_previous;
};

}  // namespace oskan::test
