#include "common/XmodemSender.h"

#include <cstdio>
#include <cstring>
#include <new>
#include <utility>

#include "common/Xmodem.h"
#include "common/skloader.h"  // ReadWholeFile
#include "winport/base/errors.h"
#include "winport/loop/ServiceLoop.h"

namespace {

constexpr HRESULT kBusy = HRESULT_FROM_WIN32(ERROR_NOT_READY);          // 0x80070015
constexpr HRESULT kNotOpen = HRESULT_FROM_WIN32(ERROR_INVALID_HANDLE);  // 0x80070006
constexpr HRESULT kBadFormat = HRESULT_FROM_WIN32(ERROR_BAD_FORMAT);    // 0x8007000B

constexpr const char* kFirmwareLoaded = "Firmware file successfully loaded into the target.";
constexpr const char* kCancelled = "Loading is cancelled by user.";
constexpr const char* kReceiverCancelledText = "Target cancelled the upload, upload failed";
constexpr const char* kPortLostText = "Serial port closed or disconnected during the upload, upload failed";

std::string RefusedText(size_t block, bool timedOut) {
    char text[128];
    if (timedOut)
        std::snprintf(text, sizeof text, "Target did not answer block %zu after %d tries, upload failed",
                      block, XmodemSender::kMaxTries);
    else
        std::snprintf(text, sizeof text, "Target refused block %zu %d times, upload failed", block,
                      XmodemSender::kMaxTries);
    return text;
}

}  // namespace

XmodemSender::XmodemSender(SerialPort* port, IUnknown* owner, ProgressFunction progress,
                           CompleteFunction complete, void* user)
    : m_pPort(port), m_pOwner(owner), m_pfnProgress(progress), m_pfnComplete(complete), m_pUser(user) {}

XmodemSender::~XmodemSender() {
    if (m_State == STATE_IDLE)
        return;
    CompletionScope scope(m_Completions, m_pOwner);
    TellCancelled();
    Finish(ERROR_CANCELLED, kCancelled);
}

HRESULT XmodemSender::Load(std::string_view fileName) {
    if (m_State != STATE_IDLE)
        return kBusy;
    std::vector<uint8_t> data;
    HRESULT hr = ReadWholeFile(fileName, kMaxFileSize, &data);
    if (FAILED(hr))
        return hr;
    return Start(std::move(data));
}

HRESULT XmodemSender::Start(std::vector<uint8_t> data) {
    if (m_State != STATE_IDLE)
        return kBusy;
    if (data.empty() || data.size() % Xmodem::kShortBlock != 0 || data.size() > kMaxFileSize)
        return kBadFormat;
    if (!m_pPort->IsOpen())
        return kNotOpen;
    try {
        m_Frame.reserve(Xmodem::kHeaderSize + Xmodem::kLongBlock + Xmodem::kCrcSize);
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
    m_FileData = std::move(data);
    m_nOffset = 0;
    m_nBlocksAccepted = 0;
    m_nBlockNumber = 1;
    m_nTries = 0;
    m_bLastTryTimedOut = false;
    m_bCancelSeen = false;
    m_bBlockDue = false;
    m_pPort->SetHandlers(ReceiveHandler, LostHandler, this);
    m_State = STATE_WAIT_RECEIVER;
    return S_OK;
}

HRESULT XmodemSender::Cancel() {
    if (m_State == STATE_IDLE)
        return S_OK;
    CompletionScope scope(m_Completions, m_pOwner);
    TellCancelled();
    Finish(ERROR_CANCELLED, kCancelled);
    return S_OK;
}

// ---------------------------------------------------------------- input

void XmodemSender::ReceiveHandler(const uint8_t* data, size_t length, void* user) {
    auto* self = static_cast<XmodemSender*>(user);
    CompletionScope scope(self->m_Completions, self->m_pOwner);
    self->OnReceive(data, length);
}

void XmodemSender::OnReceive(const uint8_t* data, size_t length) {
    for (size_t i = 0; i < length && m_State != STATE_IDLE; ++i) {
        const State before = static_cast<State>(m_State);
        const size_t offset = m_nOffset;
        const int tries = m_nTries;
        OnByte(data[i]);
        // One answer per sending: what came with it answered an earlier
        // sending of the same block (a duplicate acknowledgement, a line
        // echo) and must not count for the next one.
        if (m_State != before || m_nOffset != offset || m_nTries != tries) {
            FindCancel(data + i + 1, length - i - 1);
            return;
        }
    }
}

// Only a receiver's cancel still counts in the rest of an answered read.
void XmodemSender::FindCancel(const uint8_t* data, size_t length) {
    for (size_t i = 0; i + 1 < length && m_State != STATE_IDLE; ++i)
        if (data[i] == Xmodem::CAN && data[i + 1] == Xmodem::CAN)
            Finish(kReceiverCancelled, kReceiverCancelledText);
}

void XmodemSender::OnByte(uint8_t byte) {
    if (byte == Xmodem::CAN) {
        if (m_bCancelSeen) {
            Finish(kReceiverCancelled, kReceiverCancelledText);
            return;
        }
        m_bCancelSeen = true;
        return;
    }
    m_bCancelSeen = false;
    switch (m_State) {
        case STATE_WAIT_RECEIVER:
            // Anything else before the first request is the device's boot
            // chatter; a receiver that wants the checksum variant (NAK) keeps
            // asking and falls back to 'C' or is never answered.
            if (byte == Xmodem::CRC_REQUEST && !SendBlock())
                OnLost();
            return;
        case STATE_SEND_BLOCKS:
        case STATE_SEND_EOT:
            if (byte == Xmodem::ACK)
                OnAcknowledged();
            else if (byte == Xmodem::NAK)
                OnRefused(false);
            // 'C' repeated by a receiver that has not seen the first block
            // yet, and noise: the answer timer resends if nothing else comes.
            return;
        default:
            return;
    }
}

void XmodemSender::OnAcknowledged() {
    m_AnswerTimer.Kill();
    if (m_State == STATE_SEND_EOT) {
        Finish(ERROR_SUCCESS, kFirmwareLoaded);
        return;
    }
    m_nOffset += Xmodem::BlockSizeAt(m_nOffset, m_FileData.size());
    ++m_nBlocksAccepted;
    ++m_nBlockNumber;
    m_nTries = 0;
    if (m_nOffset == m_FileData.size()) {
        m_State = STATE_SEND_EOT;
        if (!SendEnd())
            OnLost();
        return;
    }
    // A difference, so that the throttle survives the wrap of the tick count.
    const uint32_t now = winport::GetTickCount();
    if (m_pfnProgress && now - m_dwLastProgressTime > m_dwProgressInterval) {
        m_dwLastProgressTime = now;
        const int percentage = static_cast<int>(m_nOffset * 100 / m_FileData.size());
        // The next block waits for the event: a handler may end the upload.
        m_Completions.Post(
            [progress = m_pfnProgress, user = m_pUser, percentage] { progress(percentage, user); });
        m_bBlockDue = true;
        m_Completions.Post([this] { SendDueBlock(); });
        return;
    }
    if (!SendBlock())
        OnLost();
}

void XmodemSender::SendDueBlock() {
    if (!m_bBlockDue)
        return;  // ended, or restarted, from the progress event
    m_bBlockDue = false;
    CompletionScope scope(m_Completions, m_pOwner);
    if (!SendBlock())
        OnLost();
}

void XmodemSender::OnRefused(bool timedOut) {
    m_bLastTryTimedOut = timedOut;
    if (m_nTries >= kMaxTries) {
        const size_t block = m_nBlocksAccepted + 1;
        TellCancelled();
        Finish(timedOut ? kNoAnswer : kBlockRefused,
               m_State == STATE_SEND_EOT
                   ? (timedOut ? "Target did not acknowledge the end of the upload, upload failed"
                               : "Target refused the end of the upload, upload failed")
                   : RefusedText(block, timedOut));
        return;
    }
    const bool sent = m_State == STATE_SEND_EOT ? SendEnd() : SendBlock();
    if (!sent)
        OnLost();
}

// ---------------------------------------------------------------- timer, port

void XmodemSender::TimeoutHandler(void* user) {
    auto* self = static_cast<XmodemSender*>(user);
    CompletionScope scope(self->m_Completions, self->m_pOwner);
    self->OnTimeout();
}

void XmodemSender::OnTimeout() {
    if (m_State == STATE_SEND_BLOCKS || m_State == STATE_SEND_EOT)
        OnRefused(true);
}

void XmodemSender::LostHandler(DWORD, void* user) {
    auto* self = static_cast<XmodemSender*>(user);
    CompletionScope scope(self->m_Completions, self->m_pOwner);
    self->OnLost();
}

void XmodemSender::OnLost() {
    if (m_State != STATE_IDLE)
        Finish(kPortLost, kPortLostText);
}

// ---------------------------------------------------------------- output

bool XmodemSender::SendBlock() {
    const size_t size = Xmodem::BlockSizeAt(m_nOffset, m_FileData.size());
    m_Frame.clear();
    m_Frame.push_back(size == Xmodem::kLongBlock ? Xmodem::STX : Xmodem::SOH);
    m_Frame.push_back(m_nBlockNumber);
    m_Frame.push_back(static_cast<uint8_t>(~m_nBlockNumber));
    const uint8_t* block = m_FileData.data() + m_nOffset;
    m_Frame.insert(m_Frame.end(), block, block + size);
    const uint16_t crc = Xmodem::Crc16(block, size);
    m_Frame.push_back(static_cast<uint8_t>(crc >> 8));
    m_Frame.push_back(static_cast<uint8_t>(crc & 0xFF));
    m_State = STATE_SEND_BLOCKS;
    ++m_nTries;
    return Transmit(m_Frame.data(), m_Frame.size());
}

bool XmodemSender::SendEnd() {
    ++m_nTries;
    const uint8_t end = Xmodem::EOT;
    return Transmit(&end, 1);
}

void XmodemSender::TellCancelled() {
    static const uint8_t kCancel[] = {Xmodem::CAN, Xmodem::CAN};
    m_pPort->Write(kCancel, sizeof kCancel);  // a port that went ends the upload all the same
}

bool XmodemSender::Transmit(const void* data, size_t length) {
    if (!m_pPort->Write(data, length))
        return false;
    if (m_State != STATE_IDLE)
        m_AnswerTimer.Set(m_State == STATE_SEND_EOT ? kEndTimeoutMs : kAnswerTimeoutMs, TimeoutHandler, this);
    return true;
}

void XmodemSender::Finish(uint32_t lError, const std::string& details) {
    m_AnswerTimer.Kill();
    m_pPort->SetHandlers(nullptr, nullptr, nullptr);
    m_State = STATE_IDLE;
    m_bBlockDue = false;
    m_bCancelSeen = false;
    if (m_pfnComplete)
        m_Completions.Post([complete = m_pfnComplete, user = m_pUser, lError, details] {
            complete(lError, details.c_str(), user);
        });
}
