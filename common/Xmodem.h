#pragma once
// XMODEM-1K with CRC, as serial bootloaders speak it: the receiver asks with
// 'C', the sender answers with numbered blocks of 1024 (STX) or 128 (SOH)
// bytes, each followed by its CRC-16, and ends with EOT. A firmware file is a
// whole number of 128-byte blocks, so the sender never pads: it sends 1024-byte
// blocks while that many bytes remain and 128-byte blocks for the rest, and the
// receiver's file is exactly the sum of the blocks it accepted.

#include <cstddef>
#include <cstdint>

namespace Xmodem {

constexpr uint8_t SOH = 0x01;  // 128-byte block follows
constexpr uint8_t STX = 0x02;  // 1024-byte block follows
constexpr uint8_t EOT = 0x04;
constexpr uint8_t ACK = 0x06;
constexpr uint8_t NAK = 0x15;
constexpr uint8_t CAN = 0x18;
constexpr uint8_t CRC_REQUEST = 'C';

constexpr size_t kShortBlock = 128;
constexpr size_t kLongBlock = 1024;
constexpr size_t kHeaderSize = 3;  // SOH/STX, number, its complement
constexpr size_t kCrcSize = 2;     // big-endian

// CRC-16/XMODEM: polynomial 0x1021, initial value 0, no reflection.
inline uint16_t Crc16(const uint8_t* data, size_t length) {
    uint16_t crc = 0;
    for (size_t i = 0; i < length; ++i) {
        crc = static_cast<uint16_t>(crc ^ (data[i] << 8));
        for (int bit = 0; bit < 8; ++bit)
            crc =
                (crc & 0x8000) ? static_cast<uint16_t>((crc << 1) ^ 0x1021) : static_cast<uint16_t>(crc << 1);
    }
    return crc;
}

// The size of the block that starts at this offset of a file of this size.
inline size_t BlockSizeAt(size_t offset, size_t fileSize) {
    return fileSize - offset >= kLongBlock ? kLongBlock : kShortBlock;
}

}  // namespace Xmodem
