#include "sim/SimSerialLink.h"

#include <fcntl.h>
#include <sys/epoll.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdlib>

#include "common/Xmodem.h"

namespace oskan::sim {

namespace {

constexpr const char* kBootChatter = "\r\nboot: flash bank 1 erased\r\n";

bool ParseInt(std::string_view text, int& value) {
    const char* end = text.data() + text.size();
    auto [ptr, ec] = std::from_chars(text.data(), end, value);
    return ec == std::errc() && ptr == end && value > 0;
}

std::vector<std::string_view> Split(std::string_view text, char separator) {
    std::vector<std::string_view> parts;
    size_t start = 0;
    for (;;) {
        const size_t at = text.find(separator, start);
        parts.push_back(
            text.substr(start, at == std::string_view::npos ? std::string_view::npos : at - start));
        if (at == std::string_view::npos)
            return parts;
        start = at + 1;
    }
}

}  // namespace

std::optional<SimSerialFaults> ParseSerialFaults(std::string_view text) {
    SimSerialFaults faults;
    if (text.empty())
        return faults;
    for (std::string_view item : Split(text, ',')) {
        const std::vector<std::string_view> fields = Split(item, ':');
        const std::string_view kind = fields[0];
        const bool counted = kind == "nak" || kind == "silence";
        if (!counted && kind != "garbage" && kind != "cancel")
            return std::nullopt;
        if (fields.size() != (counted ? 3u : 2u))
            return std::nullopt;
        int block = 0;
        int count = 0;
        if (kind == "silence" && fields[1] == "end") {
            if (!ParseInt(fields[2], faults.silentEnds))
                return std::nullopt;
            continue;
        }
        if (!ParseInt(fields[1], block) || (counted && !ParseInt(fields[2], count)))
            return std::nullopt;
        if (kind == "nak") {
            faults.nakBlock = block;
            faults.nakCount = count;
        } else if (kind == "silence") {
            faults.silentBlock = block;
            faults.silentCount = count;
        } else if (kind == "garbage") {
            faults.garbageBlock = block;
        } else {
            faults.cancelBlock = block;
        }
    }
    return faults;
}

// ---------------------------------------------------------------- receiver

void SimXmodemReceiver::Reset() {
    m_outcome = Outcome::kWaiting;
    m_frame.clear();
    m_frameSize = 0;
    m_cancelSeen = false;
    m_image.clear();
    m_accepted = 0;
    m_arrivals = 0;
    m_refusals = 0;
    m_duplicates = 0;
    m_ends = 0;
}

void SimXmodemReceiver::Feed(const uint8_t* data, size_t length, std::string& out) {
    for (size_t i = 0; i < length; ++i) {
        if (m_outcome != Outcome::kWaiting && m_outcome != Outcome::kReceiving)
            return;  // ended: the rest is the line's business
        OnByte(data[i], out);
    }
}

void SimXmodemReceiver::OnByte(uint8_t byte, std::string& out) {
    if (!m_frame.empty()) {
        m_frame.push_back(byte);
        if (m_frame.size() == m_frameSize)
            OnFrame(out);
        return;
    }
    const bool cancelSeen = m_cancelSeen;
    m_cancelSeen = false;
    switch (byte) {
        case Xmodem::SOH:
        case Xmodem::STX:
            m_frameSize = Xmodem::kHeaderSize + Xmodem::kCrcSize +
                          (byte == Xmodem::STX ? Xmodem::kLongBlock : Xmodem::kShortBlock);
            m_frame.push_back(byte);
            m_outcome = Outcome::kReceiving;
            return;
        case Xmodem::EOT:
            if (m_outcome == Outcome::kReceiving && ++m_ends > m_faults.silentEnds) {
                out += static_cast<char>(Xmodem::ACK);
                m_outcome = Outcome::kDone;
            }
            return;
        case Xmodem::CAN:
            if (cancelSeen)
                m_outcome = Outcome::kSenderCancelled;
            else
                m_cancelSeen = true;
            return;
        default:
            return;  // noise between blocks
    }
}

void SimXmodemReceiver::Refuse(std::string& out) {
    out += static_cast<char>(Xmodem::NAK);
    ++m_refusals;
}

void SimXmodemReceiver::OnFrame(std::string& out) {
    std::vector<uint8_t> frame;
    frame.swap(m_frame);
    const uint8_t number = frame[1];
    const size_t size = frame.size() - Xmodem::kHeaderSize - Xmodem::kCrcSize;
    const uint8_t* block = frame.data() + Xmodem::kHeaderSize;
    const uint16_t crc = static_cast<uint16_t>(frame[frame.size() - 2] << 8 | frame[frame.size() - 1]);
    if (static_cast<uint8_t>(number ^ frame[2]) != 0xFF || Xmodem::Crc16(block, size) != crc) {
        Refuse(out);
        return;
    }
    const uint8_t expected = static_cast<uint8_t>(m_accepted + 1);
    if (number != expected) {
        if (m_accepted > 0 && number == static_cast<uint8_t>(m_accepted)) {
            ++m_duplicates;  // our acknowledgement was lost: take it again
            out += static_cast<char>(Xmodem::ACK);
            return;
        }
        out += "\x18\x18";  // out of sequence: nothing to be done
        m_outcome = Outcome::kReceiverCancelled;
        return;
    }
    const int index = m_accepted + 1;
    ++m_arrivals;
    if (index == m_faults.silentBlock && m_arrivals <= m_faults.silentCount)
        return;
    if (index == m_faults.nakBlock && m_arrivals <= m_faults.silentCount + m_faults.nakCount &&
        m_arrivals > (index == m_faults.silentBlock ? m_faults.silentCount : 0)) {
        Refuse(out);
        return;
    }
    if (index == m_faults.cancelBlock) {
        out += "\x18\x18";
        m_outcome = Outcome::kReceiverCancelled;
        return;
    }
    m_image.insert(m_image.end(), block, block + size);
    ++m_accepted;
    m_arrivals = 0;
    if (index == m_faults.garbageBlock)
        out += kBootChatter;
    out += static_cast<char>(Xmodem::ACK);
}

void SimXmodemReceiver::OnQuiet(std::string& out) {
    if (m_frame.empty())
        return;
    m_frame.clear();
    Refuse(out);
}

// ---------------------------------------------------------------- link

SimSerialLink::SimSerialLink(SimSerialFaults faults) : m_receiver(faults) {}

SimSerialLink::~SimSerialLink() {
    Unplug();
}

bool SimSerialLink::Open() {
    Unplug();
    m_master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    if (m_master < 0)
        return false;
    char name[128];
    if (grantpt(m_master) != 0 || unlockpt(m_master) != 0 || ptsname_r(m_master, name, sizeof name) != 0) {
        Unplug();
        return false;
    }
    m_portName = name;
    m_terminal = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    termios tio{};
    if (m_terminal < 0 || tcgetattr(m_terminal, &tio) != 0) {
        Unplug();
        return false;
    }
    cfmakeraw(&tio);  // no echo of what the device sends, before any sender sets the port up
    tcsetattr(m_terminal, TCSANOW, &tio);
    m_watch = winport::ServiceLoop::Current().AddWatch(m_master, EPOLLIN, [this](uint32_t) { OnReadable(); });
    if (m_watch == 0) {
        Unplug();
        errno = ENOMEM;
        return false;
    }
    return true;
}

void SimSerialLink::Unplug() {
    StopTimers();
    if (m_watch != 0)
        winport::ServiceLoop::Current().RemoveWatch(m_watch);
    m_watch = 0;
    if (m_terminal >= 0)
        close(m_terminal);
    if (m_master >= 0)
        close(m_master);
    m_terminal = -1;
    m_master = -1;
}

void SimSerialLink::StopTimers() {
    winport::ServiceLoop& loop = winport::ServiceLoop::Current();
    if (m_requestTimer != 0)
        loop.CancelTimer(m_requestTimer);
    if (m_quietTimer != 0)
        loop.CancelTimer(m_quietTimer);
    m_requestTimer = 0;
    m_quietTimer = 0;
}

void SimSerialLink::Boot() {
    StopTimers();
    m_receiver.Reset();
    m_ended = false;
    Ask();
}

void SimSerialLink::Ask() {
    m_requestTimer = 0;
    if (m_master < 0 || m_receiver.GetOutcome() != SimXmodemReceiver::Outcome::kWaiting)
        return;
    Send(std::string(1, static_cast<char>(Xmodem::CRC_REQUEST)));
    m_requestTimer = winport::ServiceLoop::Current().AddTimer(kRequestIntervalMs, [this] { Ask(); });
}

void SimSerialLink::ArmQuietTimer() {
    winport::ServiceLoop& loop = winport::ServiceLoop::Current();
    if (m_quietTimer != 0)
        loop.CancelTimer(m_quietTimer);
    m_quietTimer = 0;
    if (!m_receiver.MidBlock())
        return;
    m_quietTimer = loop.AddTimer(kQuietMs, [this] {
        m_quietTimer = 0;
        std::string answer;
        m_receiver.OnQuiet(answer);
        Send(answer);
    });
}

void SimSerialLink::Send(const std::string& bytes) {
    size_t done = 0;
    while (m_master >= 0 && done < bytes.size()) {
        const ssize_t n = write(m_master, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;  // the device's answers are few and short: a full line drops them
        done += static_cast<size_t>(n);
    }
}

void SimSerialLink::OnReadable() {
    uint8_t buffer[4096];
    for (;;) {
        const ssize_t n = read(m_master, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        std::string answer;
        m_receiver.Feed(buffer, static_cast<size_t>(n), answer);
        Send(answer);
    }
    using Outcome = SimXmodemReceiver::Outcome;
    const Outcome outcome = m_receiver.GetOutcome();
    if (outcome != Outcome::kWaiting && m_requestTimer != 0) {
        winport::ServiceLoop::Current().CancelTimer(m_requestTimer);
        m_requestTimer = 0;
    }
    ArmQuietTimer();
    if (outcome != Outcome::kWaiting && outcome != Outcome::kReceiving && !m_ended) {
        m_ended = true;
        StopTimers();
        if (onEnded)
            onEnded(m_receiver);
    }
}

}  // namespace oskan::sim
