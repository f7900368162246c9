#pragma once
// A fixed-firmware Device Server's serial bootloader on a pseudo-terminal: it
// asks for an upload with 'C' (as the device does when it boots with its SETUP
// button pressed), receives XMODEM-1K/CRC blocks and keeps the image. The
// image is exactly the blocks accepted: firmware files are whole 128-byte
// blocks and the sender never pads. Faults: NAK bursts, boot chatter before an
// acknowledgement, a cancel, silence.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "winport/loop/ServiceLoop.h"

namespace oskan::sim {

// Blocks are counted from 1 in the order the receiver accepts them.
struct SimSerialFaults {
    int nakBlock = 0;  // answer the first nakCount arrivals of this block with NAK
    int nakCount = 0;
    int garbageBlock = 0;  // boot chatter before this block's acknowledgement
    int cancelBlock = 0;   // CAN CAN instead of accepting this block
    int silentBlock = 0;   // no answer to the first silentCount arrivals of this block
    int silentCount = 0;
    int silentEnds = 0;  // no answer to the first silentEnds EOTs
};

// "nak:BLOCK:COUNT", "garbage:BLOCK", "cancel:BLOCK", "silence:BLOCK:COUNT",
// "silence:end:COUNT", joined by commas; nothing on a malformed text.
std::optional<SimSerialFaults> ParseSerialFaults(std::string_view text);

// The receiving side of the protocol, bytes in and answers out.
class SimXmodemReceiver {
public:
    enum class Outcome { kWaiting, kReceiving, kDone, kSenderCancelled, kReceiverCancelled };

    explicit SimXmodemReceiver(SimSerialFaults faults = {}) : m_faults(faults) {}

    // Bytes from the sender; the answers are appended to out.
    void Feed(const uint8_t* data, size_t length, std::string& out);
    // The line has been quiet: a block cut short is dropped and refused.
    void OnQuiet(std::string& out);
    // Ready for the next upload, faults as they were.
    void Reset();

    Outcome GetOutcome() const { return m_outcome; }
    bool MidBlock() const { return !m_frame.empty(); }
    const std::vector<uint8_t>& Image() const { return m_image; }
    int BlocksAccepted() const { return m_accepted; }
    int Refusals() const { return m_refusals; }  // NAKs sent
    int Duplicates() const { return m_duplicates; }

private:
    void OnByte(uint8_t byte, std::string& out);
    void OnFrame(std::string& out);
    void Refuse(std::string& out);

    SimSerialFaults m_faults;
    Outcome m_outcome = Outcome::kWaiting;
    std::vector<uint8_t> m_frame;  // the block being received, from its SOH/STX
    size_t m_frameSize = 0;
    bool m_cancelSeen = false;
    std::vector<uint8_t> m_image;
    int m_accepted = 0;
    int m_arrivals = 0;  // of the block expected next
    int m_refusals = 0;
    int m_duplicates = 0;
    int m_ends = 0;  // EOTs seen
};

// The receiver on the master side of a pseudo-terminal, on the thread's
// service loop. The link holds the terminal side open itself, so a sender may
// come and go.
class SimSerialLink {
public:
    static constexpr uint32_t kRequestIntervalMs = 1000;  // 'C' again while nothing comes
    static constexpr uint32_t kQuietMs = 1000;            // a block cut short is refused after this

    explicit SimSerialLink(SimSerialFaults faults = {});
    ~SimSerialLink();
    SimSerialLink(const SimSerialLink&) = delete;
    SimSerialLink& operator=(const SimSerialLink&) = delete;

    // Makes the pseudo-terminal; false (errno set) when it cannot.
    bool Open();
    // The device path a sender opens.
    const std::string& PortName() const { return m_portName; }
    // The device boots into its bootloader: it asks now and every second
    // until the first block comes. After an upload ended, it starts anew.
    void Boot();
    // The port disappears under whoever holds it, as when a USB adapter is
    // unplugged.
    void Unplug();

    const SimXmodemReceiver& Receiver() const { return m_receiver; }
    // Called when an upload ended, whichever way.
    std::function<void(const SimXmodemReceiver&)> onEnded;

private:
    void OnReadable();
    void Send(const std::string& bytes);
    void Ask();
    void ArmQuietTimer();
    void StopTimers();

    SimXmodemReceiver m_receiver;
    int m_master = -1;
    int m_terminal = -1;  // held open so the master never hangs up
    std::string m_portName;
    winport::ServiceLoop::WatchId m_watch = 0;
    winport::ServiceLoop::TimerId m_requestTimer = 0;
    winport::ServiceLoop::TimerId m_quietTimer = 0;
    bool m_ended = false;
};

}  // namespace oskan::sim
