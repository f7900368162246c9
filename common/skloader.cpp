#include "common/skloader.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <new>

#include "winport/base/debugout.h"
#include "winport/base/errors.h"
#include "winport/loop/ServiceLoop.h"

namespace {

constexpr DWORD kGenFailure = 31;                                     // ERROR_GEN_FAILURE
constexpr HRESULT kBusy = HRESULT_FROM_WIN32(ERROR_NOT_READY);        // 0x80070015
constexpr HRESULT kBadFormat = HRESULT_FROM_WIN32(ERROR_BAD_FORMAT);  // 0x8007000B

constexpr const char* kApplicationLoaded = "Application file successfully loaded into the target.";
constexpr const char* kFirmwareLoaded = "Firmware file successfully loaded into the target.";
constexpr const char* kAlreadyLoaded = "Application file is already loaded into the target.";
constexpr const char* kNotEnoughRom =
    "Target does not have enough ROM (application memory) to run this application";
constexpr const char* kNotEnoughRam =
    "Target does not have enough RAM (variable memory) to run this application";
constexpr const char* kInvalidVersion = "Firmware version check failed (invalid version string format)";
constexpr const char* kOutOfSequence = "Target reported packet out of sequence, upload failed";
constexpr const char* kFlashFailure = "Target reported FLASH write failure, upload failed";
constexpr const char* kChecksumError = "Target reported checksum error in uploaded application file";
constexpr const char* kApplicationFailed = "Failed to upload application file to the target";
constexpr const char* kFirmwareFailed = "Failed to upload firmware file to the target";
constexpr const char* kCancelled = "Loading is cancelled by user.";

void DebugLine(const char* format, ...) __attribute__((format(printf, 1, 2)));
void DebugLine(const char* format, ...) {
    if (!winport::IsDebugOutputWanted())
        return;
    char line[64];
    va_list args;
    va_start(args, format);
    std::vsnprintf(line, sizeof line, format, args);
    va_end(args);
    OutputDebugStringA(line);
}

// The reply text as a C string would print it: up to its first zero byte.
void DebugReplyLine(const char* text, int length) {
    if (!winport::IsDebugOutputWanted())
        return;
    std::string line = "SKLDR: < ";
    line.append(text, strnlen(text, static_cast<size_t>(length)));
    line += '\n';
    OutputDebugStringA(line.c_str());
}

bool IsHexDigit(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

// A reply to a text request: "|" and the eight digits of a request id.
bool CarriesRequestId(const char* text, int length) {
    for (int i = 0; i + 8 < length; ++i) {
        if (text[i] != '|')
            continue;
        int digits = 0;
        while (digits < 8 && IsHexDigit(text[i + 1 + digits]))
            ++digits;
        if (digits == 8)
            return true;
    }
    return false;
}

// A machine state message of the debugger ("A*R*/00 ..." or "J..."): letter,
// three flags, '/'.
bool IsStateMessage(const char* text, int length) {
    if (length < 7 || (text[0] != 'A' && text[0] != 'J') || text[4] != '/')
        return false;
    for (int i = 1; i <= 3; ++i)
        if (text[i] != '*' && (text[i] < 'A' || text[i] > 'Z'))
            return false;
    return true;
}

// While blocks are in flight every datagram of the device reaches the loader;
// the other engines' text messages must not pass for block acknowledgements.
bool IsOtherEnginesMessage(const char* text, int length) {
    return length > 3 && (CarriesRequestId(text, length) || IsStateMessage(text, length));
}

struct VersionReply {
    std::string_view version;
    std::string_view buildId;
};

// "A" version "/" build identifier ["/" project name]; the id suffix is
// already cut off.
bool ParseVersionReply(std::string_view reply, VersionReply* parsed) {
    if (reply.empty() || reply[0] != 'A')
        return false;
    const size_t first = reply.find('/');
    if (first == std::string_view::npos)
        return false;
    parsed->version = reply.substr(1, first - 1);
    const size_t second = reply.find('/', first + 1);
    parsed->buildId = second == std::string_view::npos ? reply.substr(first + 1)
                                                       : reply.substr(first + 1, second - first - 1);
    return true;
}

// The platform a firmware version names: from after its '<' (or after its
// first character) up to its second '.' after that; e.g. "<P-1.2.3>" and
// "vP-1.2.3" both name "P-1.2".
bool FirmwarePlatform(std::string_view version, std::string_view* platform) {
    const size_t bracket = version.find('<');
    size_t start = bracket == std::string_view::npos ? 1 : bracket + 1;
    if (start > version.size())
        start = version.size();
    const size_t firstDot = version.find('.', start);
    if (firstDot == std::string_view::npos)
        return false;
    const size_t secondDot = version.find('.', firstDot + 1);
    if (secondDot == std::string_view::npos)
        return false;
    *platform = version.substr(start, secondDot - start);
    return true;
}

std::string MismatchText(const std::string& filePlatform, std::string_view version) {
    std::string text = "Firmware version mismatch (platform requires: <";
    text += filePlatform;
    text += ".xx>, target runs: ";
    text += version;
    text += ").\nUpdate the SkOS firmware of your target (main menu: Project -> Select/Manage Target).";
    return text;
}

HRESULT LastFileError() {
    return HRESULT_FROM_WIN32(winport::Win32ErrorFromErrno(errno));
}

}  // namespace

HRESULT ReadWholeFile(std::string_view fileName, size_t maxBytes, std::vector<uint8_t>* data) {
    // A name with a zero inside would open a different file.
    if (fileName.find('\0') != std::string_view::npos)
        return HRESULT_FROM_WIN32(ERROR_INVALID_NAME);
    const std::string path(fileName);
    // Non-blocking, so that a FIFO cannot hold the caller.
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0)
        return LastFileError();
    struct FdCloser {
        int fd;
        ~FdCloser() { close(fd); }
    } closer{fd};

    struct stat info {};
    if (fstat(fd, &info) != 0)
        return LastFileError();
    if (S_ISDIR(info.st_mode))
        return HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED);
    // Devices and pipes report no size and so read as empty.
    const size_t size = info.st_size > 0 ? static_cast<size_t>(info.st_size) : 0;
    if (size > maxBytes)
        return kBadFormat;
    try {
        data->resize(size);
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
    size_t done = 0;
    while (done < size) {
        const ssize_t n = read(fd, data->data() + done, size - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return LastFileError();
        if (n == 0)
            break;  // the file shrank since its size was taken
        done += static_cast<size_t>(n);
    }
    data->resize(done);
    return S_OK;
}

// ---------------------------------------------------------------- application header

uint32_t SkApplicationHeader::ReadField(const std::vector<uint8_t>& file, uint32_t offset) {
    if (static_cast<uint64_t>(offset) + 4 > file.size())
        return 0;
    return static_cast<uint32_t>(file[offset]) | static_cast<uint32_t>(file[offset + 1]) << 8 |
           static_cast<uint32_t>(file[offset + 2]) << 16 | static_cast<uint32_t>(file[offset + 3]) << 24;
}

std::string SkApplicationHeader::ReadString(const std::vector<uint8_t>& file, uint32_t field) {
    const uint32_t offset = ReadField(file, field);
    if (offset > ReadField(file, kStringAreaSizeField))
        return {};
    const uint64_t start = static_cast<uint64_t>(ReadField(file, kStringAreaField)) + offset;
    if (start >= file.size())
        return {};
    const uint8_t* begin = file.data() + start;
    const size_t available = file.size() - static_cast<size_t>(start);
    const void* zero = std::memchr(begin, 0, available);
    const size_t length = zero ? static_cast<size_t>(static_cast<const uint8_t*>(zero) - begin) : available;
    return std::string(reinterpret_cast<const char*>(begin), length);
}

// ---------------------------------------------------------------- SkLoader

SkLoader::SkLoader(MessageTransport* transport, IUnknown* owner, ProgressFunction progress,
                   CompleteFunction complete, void* user)
    : m_pTransport(transport),
      m_pOwner(owner),
      m_pfnProgress(progress),
      m_pfnComplete(complete),
      m_pUser(user) {}

SkLoader::~SkLoader() {
    if (m_State == STATE_IDLE)
        return;
    CompletionScope scope(m_Completions, m_pOwner);
    Finish(ERROR_CANCELLED, kCancelled);
}

HRESULT SkLoader::Load(std::string_view fileName, int nFlags) {
    if (m_State != STATE_IDLE)
        return kBusy;
    const size_t maxBlocks = (nFlags & OLF_FIXED_FIRMWARE) ? kMaxFixedFirmwareBlockCount : kMaxBlockCount;
    std::vector<uint8_t> data;
    HRESULT hr = ReadWholeFile(fileName, maxBlocks * kBlockSize, &data);
    if (FAILED(hr))
        return hr;
    if (data.size() < kBlockSize || data.size() % kBlockSize != 0)
        return kBadFormat;

    m_FileData = std::move(data);
    m_nLoadFlags = nFlags;
    m_nCurrentBlock = 0;
    m_nBlockCount = static_cast<int>(m_FileData.size() / kBlockSize);
    m_hTransportClient = m_pTransport->OpenClient(&SkLoader::ReceiveHandler, this);
    if (!m_hTransportClient)
        return E_OUTOFMEMORY;
    m_bBlockDue = false;

    bool sent;
    if (IsApplication() && (nFlags & (OLF_SKIP_IF_LOADED | OLF_CHECK_FIRMWARE_VERSION)))
        sent = SendText("X", STATE_GET_INFO);
    else
        sent = SendText(IsApplication() ? "Q" : "QF", STATE_START);
    if (!sent) {
        m_pTransport->CloseClient(m_hTransportClient);
        m_hTransportClient = nullptr;
        m_State = STATE_IDLE;
        return E_OUTOFMEMORY;
    }
    return S_OK;
}

HRESULT SkLoader::Cancel() {
    if (m_State == STATE_IDLE)
        return S_OK;
    CompletionScope scope(m_Completions, m_pOwner);
    Finish(ERROR_CANCELLED, kCancelled);
    return S_OK;
}

const char* SkLoader::FailureText() const {
    return IsApplication() ? kApplicationFailed : kFirmwareFailed;
}

bool SkLoader::SendText(const char* text, State next) {
    m_State = next;
    m_hSyncCommandPacket = m_pTransport->SendRequest(m_hTransportClient, &m_dwSyncCommandId, "%s", text);
    return m_hSyncCommandPacket != nullptr;
}

bool SkLoader::SendCurrentBlock() {
    uint8_t frame[3 + kBlockSize];
    frame[0] = 'D';
    frame[1] = static_cast<uint8_t>(m_nCurrentBlock >> 8);
    frame[2] = static_cast<uint8_t>(m_nCurrentBlock & 0xFF);
    std::memcpy(frame + 3, m_FileData.data() + static_cast<size_t>(m_nCurrentBlock) * kBlockSize, kBlockSize);
    m_dwSyncCommandId = 0;
    m_hSyncCommandPacket = m_pTransport->SendData(m_hTransportClient, frame, sizeof frame);
    return m_hSyncCommandPacket != nullptr;
}

void SkLoader::RemoveSyncRequest() {
    m_pTransport->RemoveRequest(m_hSyncCommandPacket);
    m_hSyncCommandPacket = nullptr;
}

void SkLoader::Finish(uint32_t lError, const std::string& details) {
    m_pTransport->CloseClient(m_hTransportClient);
    m_hTransportClient = nullptr;
    m_hSyncCommandPacket = nullptr;
    m_dwSyncCommandId = 0;
    m_State = STATE_IDLE;
    m_bBlockDue = false;
    if (m_pfnComplete)
        m_Completions.Post([complete = m_pfnComplete, user = m_pUser, lError, details] {
            complete(lError, details.c_str(), user);
        });
}

// ---------------------------------------------------------------- replies

void SkLoader::ReceiveHandler(const char* text, int length, void* user) {
    auto* self = static_cast<SkLoader*>(user);
    CompletionScope scope(self->m_Completions, self->m_pOwner);
    self->OnReceive(text, length);
}

void SkLoader::OnReceive(const char* text, int length) {
    if (m_State == STATE_IDLE || length <= 0)
        return;
    if (m_State == STATE_SEND_BLOCKS) {
        if (length < 3)
            return;
        if (IsOtherEnginesMessage(text, length)) {
            DebugReplyLine(text, length);
            return;
        }
        const char code = text[0];
        int number = static_cast<uint8_t>(text[1]) << 8 | static_cast<uint8_t>(text[2]);
        if ((m_nLoadFlags & OLF_FIXED_FIRMWARE) && number != 0)
            --number;
        DebugLine("SKLDR: < %c (data block %d)\n", code, number);
        OnBlockReply(code, number);
        return;
    }
    DebugReplyLine(text, length);
    const uint32_t id = MessageTransport::ParseReplyId(text, length);
    if (id == 0 || id != m_dwSyncCommandId)
        return;
    switch (m_State) {
        case STATE_GET_INFO: {
            // The reply text ends where its id suffix begins.
            std::string_view reply(text, static_cast<size_t>(length));
            OnInfoReply(reply.substr(0, reply.find('|')));
            break;
        }
        case STATE_START:
            OnStartReply(text[0]);
            break;
        case STATE_FINISH_APPLICATION:
            OnFinishApplicationReply(text[0]);
            break;
        case STATE_FINISH_FIRMWARE:
            OnFinishFirmwareReply(text[0]);
            break;
        case STATE_CONFIRM_FIRMWARE:
            OnConfirmFirmwareReply(text[0]);
            break;
        default:
            break;
    }
}

void SkLoader::OnInfoReply(std::string_view reply) {
    VersionReply device;
    if (!ParseVersionReply(reply, &device)) {
        Finish(kGenFailure, kApplicationFailed);
        return;
    }
    if ((m_nLoadFlags & OLF_SKIP_IF_LOADED) &&
        SkApplicationHeader::ReadString(m_FileData, SkApplicationHeader::kBuildIdField) == device.buildId) {
        Finish(ERROR_SUCCESS, kAlreadyLoaded);
        return;
    }
    if ((m_nLoadFlags & OLF_CHECK_FIRMWARE_VERSION) &&
        SkApplicationHeader::ReadField(m_FileData, SkApplicationHeader::kPlatformField) !=
            SkApplicationHeader::kNoPlatform) {
        std::string_view platform;
        if (!FirmwarePlatform(device.version, &platform)) {
            Finish(ERROR_INVALID_DATA, kInvalidVersion);
            return;
        }
        const std::string required =
            SkApplicationHeader::ReadString(m_FileData, SkApplicationHeader::kPlatformField);
        if (platform != required) {
            Finish(ERROR_INVALID_DATA, MismatchText(required, device.version));
            return;
        }
    }
    RemoveSyncRequest();
    if (!SendText("Q", STATE_START))
        Finish(ERROR_NOT_ENOUGH_MEMORY, kApplicationFailed);
}

void SkLoader::OnStartReply(char code) {
    if (code != 'A') {
        Finish(kGenFailure, FailureText());
        return;
    }
    RemoveSyncRequest();
    m_State = STATE_SEND_BLOCKS;
    if (!SendCurrentBlock())
        Finish(ERROR_NOT_ENOUGH_MEMORY, FailureText());
}

void SkLoader::OnBlockReply(char code, int number) {
    switch (code) {
        case 'A':
            // Only the block in flight advances: an acknowledgement of another
            // is a late copy, and the transport goes on resending.
            if (number != m_nCurrentBlock)
                return;
            break;
        // An error ends the upload whatever block it names: resending the
        // block would not change the device's answer.
        case 'F':
            Finish(ERROR_WRITE_FAULT, kFlashFailure);
            return;
        case 'O':
            Finish(ERROR_NOT_ENOUGH_MEMORY, kNotEnoughRom);
            return;
        case 'S':
            Finish(ERROR_INVALID_DATA, kOutOfSequence);
            return;
        default:
            Finish(kGenFailure, FailureText());
            return;
    }
    RemoveSyncRequest();
    if (++m_nCurrentBlock == m_nBlockCount) {
        const bool sent =
            IsApplication() ? SendText("T", STATE_FINISH_APPLICATION) : SendText("N", STATE_FINISH_FIRMWARE);
        if (!sent)
            Finish(ERROR_NOT_ENOUGH_MEMORY, FailureText());
        return;
    }
    // A difference, so that the throttle survives the wrap of the tick count.
    const uint32_t now = winport::GetTickCount();
    if (now - m_dwLastProgressTime > m_dwProgressInterval) {
        m_dwLastProgressTime = now;
        if (m_pfnProgress) {
            // The next block waits for the event: a handler may end the upload.
            m_Completions.Post(
                [progress = m_pfnProgress, user = m_pUser,
                 percentage = m_nCurrentBlock * 100 / m_nBlockCount] { progress(percentage, user); });
            m_bBlockDue = true;
            m_Completions.Post([this] { SendDueBlock(); });
            return;
        }
    }
    if (!SendCurrentBlock())
        Finish(ERROR_NOT_ENOUGH_MEMORY, FailureText());
}

void SkLoader::SendDueBlock() {
    if (!m_bBlockDue)
        return;  // ended, or restarted, from the progress event
    m_bBlockDue = false;
    CompletionScope scope(m_Completions, m_pOwner);
    if (!SendCurrentBlock())
        Finish(ERROR_NOT_ENOUGH_MEMORY, FailureText());
}

void SkLoader::OnFinishApplicationReply(char code) {
    switch (code) {
        case 'A':
            RemoveSyncRequest();
            Finish(ERROR_SUCCESS, kApplicationLoaded);
            break;
        case 'F':
            Finish(ERROR_WRITE_FAULT, kChecksumError);
            break;
        case 'O':
            Finish(ERROR_NOT_ENOUGH_MEMORY, kNotEnoughRam);
            break;
        default:
            Finish(kGenFailure, kApplicationFailed);
            break;
    }
}

void SkLoader::OnFinishFirmwareReply(char code) {
    if (code != 'A') {
        Finish(kGenFailure, kFirmwareFailed);
        return;
    }
    RemoveSyncRequest();
    if (m_nLoadFlags & OLF_FIXED_FIRMWARE) {
        // The device restarts on "E" and answers nothing.
        for (int i = 0; i < 3; ++i)
            m_pTransport->SendOnce("E", 1);
        Finish(ERROR_SUCCESS, kFirmwareLoaded);
        return;
    }
    if (!SendText("EC", STATE_CONFIRM_FIRMWARE))
        Finish(ERROR_NOT_ENOUGH_MEMORY, kFirmwareFailed);
}

void SkLoader::OnConfirmFirmwareReply(char code) {
    if (code != 'A') {
        Finish(kGenFailure, kFirmwareFailed);
        return;
    }
    RemoveSyncRequest();
    Finish(ERROR_SUCCESS, kFirmwareLoaded);
}
