#include "winport/host/Bstr.h"

#include <memory>
#include <utility>

namespace winport {

Bstr& Bstr::operator=(Bstr&& other) noexcept {
    if (this != std::addressof(other))
        reset(other.release());
    return *this;
}

BSTR Bstr::release() noexcept {
    return std::exchange(m_bstr, nullptr);
}

void Bstr::reset(BSTR owned) noexcept {
    BSTR old = std::exchange(m_bstr, owned);
    if (old != owned)
        SysFreeString(old);
}

BSTR* Bstr::operator&() noexcept {
    reset();
    return &m_bstr;
}

}  // namespace winport
