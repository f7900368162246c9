#pragma once
// Owns one BSTR and frees it when it goes: the tools and tests hand text to
// and take text from the components without pairing SysFreeString by hand.

#include <string>
#include <string_view>

#include "winport/automation/oleauto.h"

namespace winport {

class Bstr {
public:
    Bstr() = default;
    // Takes ownership of an existing BSTR.
    explicit Bstr(BSTR owned) noexcept : m_bstr(owned) {}
    // A new BSTR of UTF-8 text; get() is null when it cannot be allocated.
    static Bstr FromUtf8(std::string_view text) { return Bstr(AnsiToBstr(text)); }

    Bstr(const Bstr&) = delete;
    Bstr& operator=(const Bstr&) = delete;
    Bstr(Bstr&& other) noexcept : m_bstr(other.release()) {}
    Bstr& operator=(Bstr&& other) noexcept;
    ~Bstr() { SysFreeString(m_bstr); }

    BSTR get() const noexcept { return m_bstr; }
    // Hands the string over to the caller, who frees it.
    BSTR release() noexcept;
    void reset(BSTR owned = nullptr) noexcept;
    // For a BSTR* out parameter: frees the value held so far first.
    BSTR* operator&() noexcept;

    // The whole string as UTF-8, embedded zeros included (empty for null).
    std::string ToUtf8() const { return BstrToAnsiLen(m_bstr); }

private:
    BSTR m_bstr = nullptr;
};

}  // namespace winport
