#pragma once
// The loader: uploads a firmware file or a compiled application file into one
// SkOS device over the device object's message transport. The upload is
// stop-and-wait: one 128-byte block is in flight, and the next goes out when
// the device has accepted it. Every upload that Load starts ends with exactly
// one completion. Events are fired after the loader's state is final, and
// nothing the loader holds is touched after them (see CompletionScope): a
// handler may start the next upload or release the device object.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "Mirel/MirelTypes.h"  // OLF_ flags
#include "common/CompletionScope.h"
#include "common/MessageTransport.h"
#include "winport/com/com.h"

// The header fields of a compiled application file that the loader reads:
// little-endian 32-bit values at fixed file offsets. Strings live in the
// string area and end with a zero byte.
namespace SkApplicationHeader {

constexpr uint32_t kBuildIdField = 36;     // offset of the build identifier in the string area
constexpr uint32_t kPlatformField = 40;    // offset of the required firmware platform
constexpr uint32_t kStringAreaField = 80;  // file offset of the string area
constexpr uint32_t kStringAreaSizeField = 84;
constexpr uint32_t kNoPlatform = 0xFFFFFFFF;  // no platform requirement

// The field at a file offset; 0 when it lies outside the file.
uint32_t ReadField(const std::vector<uint8_t>& file, uint32_t offset);
// The string that a field points to. An offset beyond the string area's size
// reads as empty; a string reads at most up to the end of the file, wherever
// a hostile header points it.
std::string ReadString(const std::vector<uint8_t>& file, uint32_t field);

}  // namespace SkApplicationHeader

// Reads a whole file (ANSI name) of at most maxBytes bytes, as the loaders
// do: a larger one is refused (0x8007000B) before anything is read; open and
// read errors are the Win32 code as an HRESULT.
HRESULT ReadWholeFile(std::string_view fileName, size_t maxBytes, std::vector<uint8_t>* data);

class SkLoader {
public:
    enum State {
        STATE_IDLE = 0,
        STATE_GET_INFO = 1,
        STATE_START = 2,
        STATE_SEND_BLOCKS = 3,
        STATE_FINISH_APPLICATION = 4,
        STATE_FINISH_FIRMWARE = 5,
        STATE_CONFIRM_FIRMWARE = 6,
    };

    static constexpr int kBlockSize = 128;
    // Block numbers are 16 bits on the wire; with the fixed-firmware numbering
    // (n + 1) the last number is taken by block 65534.
    static constexpr int kMaxBlockCount = 65536;
    static constexpr int kMaxFixedFirmwareBlockCount = 65535;

    using ProgressFunction = void (*)(int nPercentage, void* user);
    using CompleteFunction = void (*)(uint32_t lError, const char* pszDetails, void* user);

    // The owner (may be null) is held while the loader handles a reply or a
    // Cancel, so that a handler may release it from inside an event.
    SkLoader(MessageTransport* transport, IUnknown* owner, ProgressFunction progress,
             CompleteFunction complete, void* user);
    SkLoader(const SkLoader&) = delete;
    SkLoader& operator=(const SkLoader&) = delete;
    // A running upload completes as cancelled.
    ~SkLoader();

    // Reads the whole file (ANSI name) and sends the first request. Busy:
    // 0x80070015; file errors: the Win32 code as an HRESULT; a size that is
    // not a non-zero multiple of 128 or too many blocks to number: 0x8007000B.
    HRESULT Load(std::string_view fileName, int nFlags);
    // Ends a running upload with 1223; nothing when idle.
    HRESULT Cancel();

    int GetState() const { return m_State; }
    int CurrentBlock() const { return m_nCurrentBlock; }
    int BlockCount() const { return m_nBlockCount; }
    const std::vector<uint8_t>& FileData() const { return m_FileData; }
    bool HasTransportClient() const { return m_hTransportClient != nullptr; }

private:
    static void ReceiveHandler(const char* text, int length, void* user);
    void OnReceive(const char* text, int length);
    void OnBlockReply(char code, int number);
    void OnInfoReply(std::string_view reply);
    void OnStartReply(char code);
    void OnFinishApplicationReply(char code);
    void OnFinishFirmwareReply(char code);
    void OnConfirmFirmwareReply(char code);

    bool SendText(const char* text, State next);
    bool SendCurrentBlock();
    void SendDueBlock();
    void RemoveSyncRequest();
    void Finish(uint32_t lError, const std::string& details);
    bool IsApplication() const { return (m_nLoadFlags & OLF_LOAD_APPLICATION) != 0; }
    const char* FailureText() const;

    int m_State = STATE_IDLE;
    int m_nLoadFlags = 0;
    TransportClient* m_hTransportClient = nullptr;
    std::vector<uint8_t> m_FileData;
    int m_nCurrentBlock = 0;
    int m_nBlockCount = 0;
    TransportRequest* m_hSyncCommandPacket = nullptr;
    uint32_t m_dwSyncCommandId = 0;
    uint32_t m_dwLastProgressTime = 0;
    uint32_t m_dwProgressInterval = 50;

    MessageTransport* const m_pTransport;
    IUnknown* const m_pOwner;
    const ProgressFunction m_pfnProgress;
    const CompleteFunction m_pfnComplete;
    void* const m_pUser;
    // The next block goes out once the progress event has been fired.
    bool m_bBlockDue = false;
    CompletionQueue m_Completions;  // last: a dying loader's completion fires first
};
