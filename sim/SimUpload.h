#pragma once
// The upload protocol as a device answers it:
//   "Q" / "QF"   start of an application / firmware upload: "A" = ready
//   data block   'D', block number (16-bit big-endian), 128 bytes: a 3-byte
//                acknowledgement (code, block number); 'A' taken, 'S' out of
//                sequence, 'O' beyond the device's ROM, 'F' flash failure
//   "T"          end of an application: "A" (its build identifier becomes
//                the device's), "F" checksum error, "O" not enough RAM
//   "N"          end of firmware: "A"
//   "EC"         confirmation of firmware: "A", and the device reboots
// Fixed-firmware Device Servers acknowledge block n with n + 1 and take the
// firmware on a bare "E" (sent three times, never answered).
//
// Retransmitted requests get the same answer again: a repeated start of the
// running upload, the previous block, a refused block, a repeated end request.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "sim/SimDevice.h"

namespace oskan::sim {

enum class SimUploadKind { None, Application, Firmware };

// What a device refuses, as reply codes; 'A' accepts.
struct SimUploadRefusals {
    SimUploadRefusals(char start = 'A', std::optional<uint32_t> block = std::nullopt, char blockCode = 'F',
                      char finish = 'A', char confirm = 'A',
                      std::optional<uint16_t> blockCodeNumber = std::nullopt)
        : start(start),
          block(block),
          blockCode(blockCode),
          finish(finish),
          confirm(confirm),
          blockCodeNumber(blockCodeNumber) {}

    char start = 'A';               // reply to "Q" / "QF"
    std::optional<uint32_t> block;  // the block that is refused...
    char blockCode = 'F';           // ...with this code
    char finish = 'A';              // reply to "T" / "N"
    char confirm = 'A';             // reply to "EC"
    // The block number the refusal of a block carries when it is not the
    // refused block's own (a device that answers for some other block).
    std::optional<uint16_t> blockCodeNumber;

    bool operator==(const SimUploadRefusals&) const = default;
};

class SimUpload {
public:
    // ROM of a device: a block number beyond it is refused with 'O'.
    static constexpr uint32_t kDefaultCapacityBlocks = 65536;
    static constexpr size_t kBlockBytes = 128;

    const SimUploadRefusals& Refusals() const { return m_refusals; }
    void SetRefusals(const SimUploadRefusals& refusals) { m_refusals = refusals; }
    uint32_t CapacityBlocks() const { return m_capacity; }
    void SetCapacityBlocks(uint32_t blocks) { m_capacity = blocks; }

    // The last image the device took, whole, and what it was.
    const std::vector<uint8_t>& Image() const { return m_image; }
    SimUploadKind ImageKind() const { return m_imageKind; }
    uint64_t CompletedUploads() const { return m_completed; }
    // The upload under way: its kind (None when none runs) and the blocks
    // taken so far.
    SimUploadKind Running() const { return m_phase == Phase::Idle ? SimUploadKind::None : m_kind; }
    const std::vector<uint8_t>& Received() const { return m_received; }
    uint32_t BlocksTaken() const { return m_expected; }

    // The protocol steps; each returns the reply text (empty: no reply).
    std::string Start(SimUploadKind kind, uint32_t id);
    // number: as on the wire; ackOffset 1 for the fixed-firmware numbering.
    std::string Block(uint16_t number, const uint8_t* data, uint16_t ackOffset);
    // device: the one whose build identifier an application sets (may be null).
    std::string Finish(SimDevice* device, SimUploadKind kind, uint32_t id);
    // Firmware awaiting confirmation: takes it. The confirmation's reply.
    std::optional<std::string> Confirm(uint32_t id);
    // The fixed-firmware end: true when it took the firmware.
    bool TakeFirmware();

private:
    enum class Phase { Idle, Receiving, AwaitingConfirm };

    void Commit(SimDevice* device);
    static std::string Ack(char code, uint16_t number);

    SimUploadRefusals m_refusals;
    uint32_t m_capacity = kDefaultCapacityBlocks;
    Phase m_phase = Phase::Idle;
    SimUploadKind m_kind = SimUploadKind::None;
    std::optional<uint32_t> m_startId;
    std::vector<uint8_t> m_received;
    uint32_t m_expected = 0;
    // The last answered end request, for its retransmissions.
    std::optional<uint32_t> m_finishId;
    std::string m_finishReply;
    // The block refused last, for its retransmissions.
    std::optional<uint32_t> m_refusedBlock;
    std::string m_refusalReply;
    std::optional<uint32_t> m_confirmId;
    std::string m_confirmReply;
    std::vector<uint8_t> m_image;
    SimUploadKind m_imageKind = SimUploadKind::None;
    uint64_t m_completed = 0;
};

// Adds the SkOS device's upload requests to a handler set; "EC" keeps what a
// handler registered before did (the reboot) and adds the confirmation.
void AddUploadHandlers(SimHandlers& handlers);

// The standard set with the fixed-firmware Device Server's numbering and "E".
std::shared_ptr<const SimHandlers> FixedFirmwareHandlers();

}  // namespace oskan::sim
