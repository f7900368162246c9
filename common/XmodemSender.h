#pragma once
// The serial firmware sender: uploads a firmware file through a serial port
// with XMODEM-1K and CRC-16 (see common/Xmodem.h). It waits, with no time
// limit, for the receiver's first 'C' (a device asks when it is rebooted with
// its SETUP button pressed), then sends one block at a time and the next once
// the block is acknowledged. Every upload that Load starts ends with exactly
// one completion, fired after the sender's state is final (see
// CompletionScope): a handler may start the next upload or release the owner.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "common/CompletionScope.h"
#include "common/SerialPort.h"
#include "common/WinServiceWnd.h"
#include "winport/com/com.h"

class XmodemSender {
public:
    enum State {
        STATE_IDLE = 0,
        STATE_WAIT_RECEIVER = 1,  // for the receiver's 'C'
        STATE_SEND_BLOCKS = 2,    // a block is out, its answer awaited
        STATE_SEND_EOT = 3,       // the end is out, its acknowledgement awaited
    };

    static constexpr size_t kMaxFileSize = 16u << 20;
    static constexpr int kMaxTries = 10;                 // of one block, or of the end
    static constexpr uint32_t kAnswerTimeoutMs = 10000;  // for a block's acknowledgement
    static constexpr uint32_t kEndTimeoutMs = 10000;

    // Completion codes of the failures particular to a serial upload.
    static constexpr uint32_t kBlockRefused = 23;        // ERROR_CRC
    static constexpr uint32_t kReceiverCancelled = 995;  // ERROR_OPERATION_ABORTED
    static constexpr uint32_t kNoAnswer = 1460;          // ERROR_TIMEOUT
    static constexpr uint32_t kPortLost = SerialPort::kDeviceNotConnected;

    using ProgressFunction = void (*)(int nPercentage, void* user);
    using CompleteFunction = void (*)(uint32_t lError, const char* pszDetails, void* user);

    // The port belongs to the caller and must outlive the sender; the sender
    // takes its handlers while an upload runs. The owner (may be null) is
    // held while the sender handles input, a timer or a Cancel.
    XmodemSender(SerialPort* port, IUnknown* owner, ProgressFunction progress, CompleteFunction complete,
                 void* user);
    XmodemSender(const XmodemSender&) = delete;
    XmodemSender& operator=(const XmodemSender&) = delete;
    // A running upload completes as cancelled.
    ~XmodemSender();

    // Reads the whole file (ANSI name) and waits for the receiver. Busy:
    // 0x80070015; port not open: 0x80070006; file errors: the Win32 code as an
    // HRESULT; a size that is not a non-zero multiple of 128 or above 16 MiB:
    // 0x8007000B.
    HRESULT Load(std::string_view fileName);
    // The same with the bytes at hand.
    HRESULT Start(std::vector<uint8_t> data);
    // Ends a running upload with 1223 and tells the receiver (CAN CAN);
    // nothing when idle.
    HRESULT Cancel();

    int GetState() const { return m_State; }
    size_t BytesAccepted() const { return m_nOffset; }
    int Tries() const { return m_nTries; }

    // Input from the port, as its receive handler passes it; public for the
    // fuzz target.
    void OnReceive(const uint8_t* data, size_t length);

private:
    static void ReceiveHandler(const uint8_t* data, size_t length, void* user);
    static void LostHandler(DWORD error, void* user);
    static void TimeoutHandler(void* user);

    void OnByte(uint8_t byte);
    void FindCancel(const uint8_t* data, size_t length);
    void OnAcknowledged();
    void OnRefused(bool timedOut);
    void OnLost();
    void OnTimeout();
    bool SendBlock();
    bool SendEnd();
    void SendDueBlock();
    bool Transmit(const void* data, size_t length);
    void TellCancelled();
    void Finish(uint32_t lError, const std::string& details);

    int m_State = STATE_IDLE;
    std::vector<uint8_t> m_FileData;
    size_t m_nOffset = 0;  // bytes accepted so far: the block out starts here
    size_t m_nBlocksAccepted = 0;
    uint8_t m_nBlockNumber = 1;  // of the block out, modulo 256
    int m_nTries = 0;            // sendings of the block (or end) out
    bool m_bLastTryTimedOut = false;
    bool m_bCancelSeen = false;  // the last byte was one CAN
    uint32_t m_dwLastProgressTime = 0;
    uint32_t m_dwProgressInterval = 50;
    bool m_bBlockDue = false;  // the next block goes out once the progress event has fired
    std::vector<uint8_t> m_Frame;

    SerialPort* const m_pPort;
    IUnknown* const m_pOwner;
    const ProgressFunction m_pfnProgress;
    const CompleteFunction m_pfnComplete;
    void* const m_pUser;
    WinTimer m_AnswerTimer;
    CompletionQueue m_Completions;  // last: a dying sender's completion fires first
};
