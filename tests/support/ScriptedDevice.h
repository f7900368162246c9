#pragma once
// A plain UDP socket on the devices' port that plays a device as the test
// scripts it: it reads every request sent there, broadcasts included, and
// replies to the sender of the last one it read. Waiting runs the thread's
// service loop.

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <functional>
#include <string>

#include "winport/loop/ServiceLoop.h"

namespace oskan::test {

class ScriptedDevice {
public:
    static constexpr uint16_t kDevicePort = 65535;

    ScriptedDevice() {
        m_fd = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        int on = 1;
        setsockopt(m_fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        sockaddr_in local{};
        local.sin_family = AF_INET;
        local.sin_port = htons(kDevicePort);
        m_bound = m_fd >= 0 && bind(m_fd, reinterpret_cast<sockaddr*>(&local), sizeof local) == 0;
    }
    ~ScriptedDevice() {
        if (m_fd >= 0)
            close(m_fd);
    }
    ScriptedDevice(const ScriptedDevice&) = delete;
    ScriptedDevice& operator=(const ScriptedDevice&) = delete;

    bool Bound() const { return m_bound; }

    // The next datagram that has come, or empty when none has.
    std::string Receive() {
        char buffer[2048];
        socklen_t length = sizeof m_sender;
        ssize_t n = recvfrom(m_fd, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&m_sender), &length);
        return n > 0 ? std::string(buffer, static_cast<size_t>(n)) : std::string();
    }
    // Waits on the loop for the next datagram that `wanted` takes; empty when
    // none came within timeoutMs of the loop's clock.
    std::string Await(const std::function<bool(const std::string&)>& wanted, uint32_t timeoutMs = 5000) {
        std::string found;
        winport::ServiceLoop::Current().RunUntil(
            [&] {
                for (std::string text = Receive(); !text.empty(); text = Receive())
                    if (wanted(text)) {
                        found = std::move(text);
                        return true;
                    }
                return false;
            },
            timeoutMs);
        return found;
    }
    // The next datagram that holds `part`.
    std::string Await(const std::string& part, uint32_t timeoutMs = 5000) {
        return Await([&](const std::string& text) { return text.find(part) != std::string::npos; },
                     timeoutMs);
    }
    // The next request that is new: copies of the one before (retransmissions)
    // are skipped.
    std::string AwaitNew(uint32_t timeoutMs = 5000) {
        std::string found = Await([this](const std::string& text) { return text != m_last; }, timeoutMs);
        if (!found.empty())
            m_last = found;
        return found;
    }

    // Where the last datagram read came from.
    const sockaddr_in& Sender() const { return m_sender; }
    void Reply(const std::string& text) const {
        sendto(m_fd, text.data(), text.size(), 0, reinterpret_cast<const sockaddr*>(&m_sender),
               sizeof m_sender);
    }

private:
    int m_fd = -1;
    bool m_bound = false;
    sockaddr_in m_sender{};
    std::string m_last;
};

}  // namespace oskan::test
