#pragma once
// Shared by the fuzz targets: a transport that records its frames instead of
// sending them, an event source for engines that fire events, and a reader
// that turns the fuzzer's bytes into a script of steps.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "common/MessageTransport.h"
#include "common/objects/SkConnectionPoint.h"
#include "common/objects/SkConnectionPointContainer.h"

namespace oskan::fuzz {

class RecordingTransport : public MessageTransport {
public:
    std::vector<std::string> sent;

    // The id of the last text request sent, as the device would echo it.
    std::string LastIdSuffix() const {
        for (auto it = sent.rbegin(); it != sent.rend(); ++it) {
            size_t bar = it->rfind('|');
            if (bar != std::string::npos)
                return it->substr(bar);
        }
        return {};
    }
    // Hands a reply over as the socket does: zero-terminated after its length.
    void Deliver(std::string_view text) {
        std::string copy(text);
        DispatchReceived(copy.c_str(), static_cast<int>(copy.size()));
    }

protected:
    BOOL SendDatagram(const void* bytes, int length) override {
        // Bounded: a script that makes an engine send without end must not
        // grow the record without end.
        if (sent.size() > 4096)
            sent.erase(sent.begin(), sent.begin() + 2048);
        sent.emplace_back(static_cast<const char*>(bytes), static_cast<size_t>(length));
        return TRUE;
    }
};

// An object with connection points for the given IIDs and no sinks.
class EventSource final : public SkConnectionPointContainer {
public:
    static ComPtr<EventSource> Create(std::initializer_list<IID> iids) {
        ComPtr<EventSource> source;
        source.Attach(new EventSource(iids));
        return source;
    }
    HRESULT QueryInterface(REFIID riid, void** ppv) override {
        if (!ppv)
            return E_POINTER;
        if (riid == IID_IUnknown || riid == IID_IConnectionPointContainer) {
            *ppv = static_cast<IConnectionPointContainer*>(this);
            AddRef();
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    ULONG AddRef() override { return ++m_cRef; }
    ULONG Release() override {
        ULONG count = --m_cRef;
        if (count == 0) {
            m_cRef = 0x40000000;  // references taken during destruction do not recurse
            delete this;
        }
        return count;
    }
    SkConnectionPoint& Point(size_t index) { return *m_points[index]; }

private:
    explicit EventSource(std::initializer_list<IID> iids) {
        for (const IID& iid : iids) {
            m_points.push_back(
                std::make_unique<SkConnectionPoint>(static_cast<IConnectionPointContainer*>(this), iid));
            AddConnectionPoint(m_points.back().get());
        }
    }
    ~EventSource() = default;
    ULONG m_cRef = 1;
    std::vector<std::unique_ptr<SkConnectionPoint>> m_points;
};

// Steps: one opcode byte, then a length byte and that many bytes when the
// step carries text.
class Script {
public:
    Script(const uint8_t* data, size_t size) : m_data(data), m_size(size) {}
    bool Done() const { return m_pos >= m_size; }
    uint8_t Byte() { return m_pos < m_size ? m_data[m_pos++] : 0; }
    uint32_t Word() {
        uint32_t value = 0;
        for (int i = 0; i < 4; ++i)
            value = value << 8 | Byte();
        return value;
    }
    std::string_view Text() {
        size_t length = Byte();
        if (length > m_size - m_pos)
            length = m_size - m_pos;
        std::string_view text(reinterpret_cast<const char*>(m_data + m_pos), length);
        m_pos += length;
        return text;
    }
    std::string_view Rest() {
        std::string_view text(reinterpret_cast<const char*>(m_data + m_pos), m_size - m_pos);
        m_pos = m_size;
        return text;
    }

private:
    const uint8_t* m_data;
    size_t m_size;
    size_t m_pos = 0;
};

}  // namespace oskan::fuzz
