#include "Mirel/mireldebuggee.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <new>

#include "Mirel/MirelEvents.h"
#include "common/objects/SkEventFiring.h"
#include "common/objects/SkTrace.h"
#include "winport/base/hexdigit.h"
#include "winport/com/ComEntry.h"

namespace {

constexpr const OLECHAR* kCommandDone = u"Operation comlpeted successfully";  // hosts compare this spelling
constexpr const OLECHAR* kOperationDone = u"Operation completed successfully";
constexpr const OLECHAR* kOperationCancelled = u"Operation cancelled";
constexpr const OLECHAR* kInvalidStateText = u"Invalid PCM state response";

// Register prefixes of SetRegisterValue, in the order of m_Registers.
constexpr const char* kRegisterPrefixes[5] = {"SA", "SB", "SP", "SS", "SF"};
constexpr char kBreakpointLetters[3] = {'R', 'W', 'B'};

// Where the first occurrence of tag starts within the length, or -1.
int FindTag(const char* text, int length, const char* tag) {
    const int tagLength = static_cast<int>(std::strlen(tag));
    for (int i = 0; i + tagLength <= length; ++i)
        if (std::memcmp(text + i, tag, static_cast<size_t>(tagLength)) == 0)
            return i;
    return -1;
}

// Hexadecimal digits at pos, at least one; values beyond 32 bits saturate.
bool ReadHex(const char* text, int length, int pos, ULONG* value) {
    uint64_t result = 0;
    int digits = 0;
    for (; pos < length && winport::HexDigitValue(text[pos]) >= 0; ++pos, ++digits)
        result = std::min<uint64_t>(result * 16 + static_cast<uint64_t>(winport::HexDigitValue(text[pos])),
                                    0xFFFFFFFFull);
    *value = static_cast<ULONG>(result);
    return digits > 0;
}

ULONG ReadDecimal(const char* text, int length, int pos) {
    uint64_t result = 0;
    for (; pos < length && text[pos] >= '0' && text[pos] <= '9'; ++pos)
        result = std::min<uint64_t>(result * 10 + static_cast<uint64_t>(text[pos] - '0'), 0xFFFFFFFFull);
    return static_cast<ULONG>(result);
}

std::string FormatV(const char* format, va_list args) {
    char text[MessageTransport::kRequestBufferSize];
    int length = std::vsnprintf(text, sizeof text, format, args);
    if (length < 0)
        return {};
    return std::string(text, std::min<size_t>(static_cast<size_t>(length), sizeof text - 1));
}

std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string Format(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::string text = FormatV(format, args);
    va_end(args);
    return text;
}

// A transfer must lie within the machine's memory.
bool InAddressSpace(ULONG address, uint64_t length) {
    return address < MirelDebuggee::kAddressSpace && address + length <= MirelDebuggee::kAddressSpace;
}

}  // namespace

// ---------------------------------------------------------------- life

MirelDebuggee::MirelDebuggee(IUnknown* outer, MessageTransport* transport, SkConnectionPoint& events,
                             SkConnectionPoint& trace)
    : m_pOuter(outer), m_pTransport(transport), m_cpEvents(events), m_cpTrace(trace) {}

MirelDebuggee::~MirelDebuggee() {
    EndDebug();
}

HRESULT MirelDebuggee::QueryInterface(REFIID riid, void** ppvObject) {
    return m_pOuter->QueryInterface(riid, ppvObject);
}
ULONG MirelDebuggee::AddRef() {
    return m_pOuter->AddRef();
}
ULONG MirelDebuggee::Release() {
    return m_pOuter->Release();
}

// ---------------------------------------------------------------- link

HRESULT MirelDebuggee::BeginDebug() {
    return winport::ComEntry([&] { return OpenLink(); });
}

HRESULT MirelDebuggee::OpenLink() {
    if (m_State != STATE_IDLE)
        return kNotReady;
    Scope scope(this);
    m_hTransportClient = m_pTransport->OpenClient(&MirelDebuggee::ReceiveHandler, this);
    if (!m_hTransportClient)
        return E_OUTOFMEMORY;
    const HRESULT armed = winport::ComEntry([&] {
        return m_KeepAliveTimer.Set(m_dwKeepAliveInterval, &MirelDebuggee::KeepAliveHandler, this)
                   ? S_OK
                   : E_OUTOFMEMORY;
    });
    if (FAILED(armed)) {
        m_pTransport->CloseClient(m_hTransportClient);
        m_hTransportClient = nullptr;
        return armed;
    }
    m_State = STATE_READY;
    static_cast<ISkDebuggee*>(this)->Synchronize();
    return S_OK;
}

HRESULT MirelDebuggee::EndDebug() {
    return winport::ComEntry([&] { return CloseLink(); });
}

HRESULT MirelDebuggee::CloseLink() {
    if (m_State == STATE_IDLE)
        return S_OK;
    Scope scope(this);
    // The link is down before the cancellations are reported, so nothing a
    // sink starts from them can outlive it unreported.
    Abandoned abandoned = AbandonAll();
    m_KeepAliveTimer.Kill();
    m_pTransport->CloseClient(m_hTransportClient);
    m_hTransportClient = nullptr;
    m_State = STATE_IDLE;
    ReportAbandoned(abandoned);
    return S_OK;
}

HRESULT MirelDebuggee::Cancel() {
    return winport::ComEntry([&] {
        if (m_State == STATE_IDLE || m_State == STATE_READY)
            return S_OK;
        Scope scope(this);
        Abandoned abandoned = AbandonAll();
        m_State = STATE_READY;
        ReportAbandoned(abandoned);
        return S_OK;
    });
}

MirelDebuggee::Abandoned MirelDebuggee::AbandonAll() {
    Abandoned abandoned;
    // Room first: an operation taken off the list always has its owner.
    abandoned.operations.reserve(m_lstMemoryOperations.Size());
    abandoned.command = m_State == STATE_COMMAND;
    m_pTransport->RemoveClientRequests(m_hTransportClient);
    ClearSyncCommand();
    while (MemoryBlock* block = m_lstBlocks.PopFront())
        std::unique_ptr<MemoryBlock> owned(block);
    m_mapBlocks.clear();
    m_nTotalBlocks = 0;
    m_nCompleteBlocks = 0;
    while (MemoryOperation* op = m_lstMemoryOperations.PopFront())
        abandoned.operations.emplace_back(op);
    return abandoned;
}

void MirelDebuggee::ReportAbandoned(Abandoned& abandoned) {
    for (auto& op : abandoned.operations) {
        if (op->m_Type == MOT_WRITE_MEMORY || op->m_Type == MOT_WRITE_PROPERTY) {
            QueueSimple(PendingEvent::CommandComplete, kCancelled, kOperationCancelled);
        } else {
            PendingEvent event;
            event.kind = PendingEvent::ReadComplete;
            event.value = kCancelled;
            event.details = kOperationCancelled;
            event.address = op->m_dwAddress;
            event.lParam = op->m_lParam;
            Queue(std::move(event));
        }
    }
    abandoned.operations.clear();
    if (abandoned.command)
        QueueSimple(PendingEvent::CommandComplete, kCancelled, kOperationCancelled);
}

HRESULT MirelDebuggee::GetPCodeMachineState(OSKAN_PCODE_MACHINE_STATE* pState) {
    if (!pState)
        return E_POINTER;
    if (m_State != STATE_READY)
        return kNotReady;
    *pState = m_PcmState;
    return S_OK;
}

// ---------------------------------------------------------------- commands

HRESULT MirelDebuggee::SendCommand(const char* format, ...) {
    if (m_State != STATE_READY)
        return kNotReady;
    va_list args;
    va_start(args, format);
    std::string body;
    const HRESULT formatted = winport::ComEntry([&] {
        body = FormatV(format, args);
        return S_OK;
    });
    va_end(args);
    if (FAILED(formatted))
        return formatted;
    // Every caller keeps its request short enough; a cut one would be a
    // different command.
    if (body.size() > static_cast<size_t>(MessageTransport::kMaxRequestBody))
        return E_INVALIDARG;
    return winport::ComEntry([&] {
        Scope scope(this);
        uint32_t id = 0;
        TransportRequest* request = SendTracedRequest(&id, "%s", body.c_str());
        if (!request)
            return E_OUTOFMEMORY;
        m_State = STATE_COMMAND;
        m_hSyncCommandPacket = request;
        m_dwSyncCommandId = id;
        return S_OK;
    });
}

TransportRequest* MirelDebuggee::SendTracedRequest(uint32_t* id, const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::string body = FormatV(format, args);
    va_end(args);
    TransportRequest* request = m_pTransport->SendRequest(m_hTransportClient, id, "%s", body.c_str());
    // The request is out: a trace line that cannot be made is lost, not the request.
    if (request)
        winport::ComEntry([&] {
            QueueTrace(3, Format("%s|%08x", body.c_str(), *id));
            return S_OK;
        });
    return request;
}

HRESULT MirelDebuggee::Synchronize() {
    return SendCommand("PC");
}

HRESULT MirelDebuggee::Run() {
    return SendCommand("PR+%s", m_strCodeBreakpoints.c_str());
}

HRESULT MirelDebuggee::Break() {
    return SendCommand("PB");
}

HRESULT MirelDebuggee::RunTo(ULONG dwAddress) {
    if (m_State != STATE_READY)
        return kNotReady;
    if (dwAddress >= kAddressSpace)
        return E_INVALIDARG;
    return SendCommand("PR%04x+%s", dwAddress, m_strCodeBreakpoints.c_str());
}

HRESULT MirelDebuggee::Restart() {
    return SendCommand("E");
}

HRESULT MirelDebuggee::StepInstruction() {
    return SendCommand("PS");
}

HRESULT MirelDebuggee::StepInto(ULONG dwAddress, ULONG dwLength) {
    if (m_State != STATE_READY)
        return kNotReady;
    if (dwAddress >= kAddressSpace)
        return E_INVALIDARG;
    return SendCommand("PO%04x-%x+%s", dwAddress, dwLength, m_strCodeBreakpoints.c_str());
}

HRESULT MirelDebuggee::StepOver(ULONG dwAddress, ULONG dwLength) {
    if (m_State != STATE_READY)
        return kNotReady;
    if (dwAddress >= kAddressSpace)
        return E_INVALIDARG;
    return SendCommand("PO%04x-%x,%04x+%s", dwAddress, dwLength, m_PcmState.m_Registers[3],
                       m_strCodeBreakpoints.c_str());
}

HRESULT MirelDebuggee::StepOut() {
    return SendCommand("PO%04x-%x,%04x+%s", m_PcmState.m_Registers[2], 0u, m_PcmState.m_Registers[3] - 1,
                       m_strCodeBreakpoints.c_str());
}

HRESULT MirelDebuggee::SetCodeBreakpoints(ULONG* pBreakpoints, int nCount) {
    return winport::ComEntry([&] {
        if (m_State != STATE_READY)
            return kNotReady;
        if (nCount < 0 || (nCount > 0 && !pBreakpoints))
            return E_INVALIDARG;
        std::string text;
        for (int i = 0; i < nCount; ++i) {
            if (pBreakpoints[i] >= kAddressSpace)
                return E_INVALIDARG;
            if (i > 0)
                text += ',';
            text += Format("%04x", pBreakpoints[i]);
            if (text.size() > static_cast<size_t>(kMaxCodeBreakpointText))
                return E_INVALIDARG;
        }
        m_CodeBreakpoints.assign(pBreakpoints, pBreakpoints + nCount);
        m_strCodeBreakpoints = std::move(text);
        // A stopped machine gets the list with its next run or step request.
        if (m_PcmState.m_Mode == OPCM_MODE_RUNNING)
            SendCommand("CB%s", m_strCodeBreakpoints.c_str());
        return S_OK;
    });
}

HRESULT MirelDebuggee::SetMemoryBreakpoints(OSKAN_MEMORY_BREAKPOINT* pBreakpoints, int nCount) {
    return winport::ComEntry([&] {
        if (m_State != STATE_READY)
            return kNotReady;
        if (nCount < 0 || (nCount > 0 && !pBreakpoints))
            return E_INVALIDARG;
        std::string text;
        for (int i = 0; i < nCount; ++i) {
            const OSKAN_MEMORY_BREAKPOINT& breakpoint = pBreakpoints[i];
            if (breakpoint.m_Type < OMBP_READ || breakpoint.m_Type > OMBP_READ_WRITE)
                return E_INVALIDARG;
            if (breakpoint.m_dwAddress >= kAddressSpace)
                return E_INVALIDARG;
            if (i > 0)
                text += ',';
            text += Format("%c%04x-%x", kBreakpointLetters[breakpoint.m_Type], breakpoint.m_dwAddress,
                           breakpoint.m_dwLength);
            if (text.size() + 2 > static_cast<size_t>(MessageTransport::kMaxRequestBody))
                return E_INVALIDARG;
        }
        m_MemoryBreakpoints.assign(pBreakpoints, pBreakpoints + nCount);
        return SendCommand("MB%s", text.c_str());
    });
}

HRESULT MirelDebuggee::SetRegisterValue(int nRegister, int nValue) {
    if (nRegister < 0 || nRegister > 4)
        return E_INVALIDARG;
    return SendCommand("%s%04x", kRegisterPrefixes[nRegister], static_cast<unsigned>(nValue));
}

// ---------------------------------------------------------------- memory operations

HRESULT MirelDebuggee::ReadMemory(ULONG dwAddress, ULONG dwLength, LONG lParam) {
    return winport::ComEntry([&] { return StartRead(MOT_READ_MEMORY, -1, dwAddress, dwLength, lParam); });
}

HRESULT MirelDebuggee::ReadString(ULONG dwAddress, LONG lParam) {
    return winport::ComEntry([&] { return StartRead(MOT_READ_STRING, -1, dwAddress, 2, lParam); });
}

HRESULT MirelDebuggee::ReadProperty(int nSysCall, ULONG dwAddress, ULONG dwLength, LONG lParam) {
    if (nSysCall < 0)
        return E_INVALIDARG;
    return winport::ComEntry(
        [&] { return StartRead(MOT_READ_PROPERTY, nSysCall, dwAddress, dwLength, lParam); });
}

HRESULT MirelDebuggee::ReadStringProperty(int nSysCall, ULONG dwAddress, LONG lParam) {
    if (nSysCall < 0)
        return E_INVALIDARG;
    return winport::ComEntry(
        [&] { return StartRead(MOT_READ_STRING_PROPERTY, nSysCall, dwAddress, 2, lParam); });
}

HRESULT MirelDebuggee::StartRead(int type, int nSysCall, ULONG dwAddress, size_t size, LONG lParam) {
    if (m_State != STATE_READY && m_State != STATE_READ_MEMORY && m_State != STATE_READ_PROPERTY)
        return kNotReady;
    if (size == 0 || !InAddressSpace(dwAddress, size))
        return E_INVALIDARG;
    std::unique_ptr<MemoryOperation> created;
    try {
        created = std::make_unique<MemoryOperation>();
        created->m_Data.assign(size, 0);
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
    Scope scope(this);
    MemoryOperation* op = created.release();  // owned by the list
    op->m_Type = type;
    op->m_nSysCall = nSysCall;
    op->m_dwAddress = dwAddress;
    op->m_nBlockSize = m_nReadBlockSize;
    op->m_lParam = lParam;
    m_lstMemoryOperations.PushBack(op);
    const int previousState = m_State;
    try {
        if (type == MOT_READ_PROPERTY || type == MOT_READ_STRING_PROPERTY) {
            StartNextPropertyRead();
        } else if ((m_State == STATE_READY || m_State == STATE_READ_MEMORY) && OnlyPlainReadsListed()) {
            m_State = STATE_READ_MEMORY;
            IssueReadBlocks(op);
        }
    } catch (...) {
        TakeBack(op);
        m_State = previousState;
        throw;
    }
    return S_OK;
}

bool MirelDebuggee::OnlyPlainReadsListed() const {
    for (MemoryOperation* op = m_lstMemoryOperations.Front(); op; op = OperationList::Next(op))
        if (op->m_Type != MOT_READ_MEMORY && op->m_Type != MOT_READ_STRING)
            return false;
    return true;
}

void MirelDebuggee::IssueReadBlocks(MemoryOperation* op) {
    const int size = static_cast<int>(op->m_Data.size());
    const int count = (size + op->m_nBlockSize - 1) / op->m_nBlockSize;
    op->m_nCompleteBlocks = 0;
    op->m_nTotalBlocks = count;
    m_nTotalBlocks += count;
    for (int i = 0; i < count; ++i) {
        const int bytes = std::min(op->m_nBlockSize, size - i * op->m_nBlockSize);
        const ULONG address = op->m_dwAddress + static_cast<ULONG>(i * op->m_nBlockSize);
        IssueBlock(op, i, bytes, Format("GM%04x,%02x", address, static_cast<unsigned>(bytes)));
    }
}

void MirelDebuggee::IssueBlock(MemoryOperation* op, int index, int bytes, const std::string& body) {
    auto owned = std::make_unique<MemoryBlock>();
    MemoryBlock* block = owned.get();
    block->m_pOperation = op;
    block->m_nIndex = index;
    block->m_nBytes = bytes;
    // Listed before its request goes out, so that TakeBack finds the request.
    m_lstBlocks.PushBack(owned.release());
    // A request that cannot be queued leaves its block outstanding: the
    // operation then ends only by a cancel, like one the device never answers.
    block->m_hRequest = SendTracedRequest(&block->m_dwRequestId, "%s", body.c_str());
    if (block->m_hRequest)
        m_mapBlocks[block->m_dwRequestId] = block;
}

void MirelDebuggee::TakeBack(MemoryOperation* op) {
    for (MemoryBlock* block = m_lstBlocks.Front(); block;) {
        MemoryBlock* next = BlockList::Next(block);
        if (block->m_pOperation == op) {
            if (block->m_hRequest) {
                m_pTransport->RemoveRequest(block->m_hRequest);
                m_mapBlocks.erase(block->m_dwRequestId);
            }
            m_lstBlocks.Remove(block);
            std::unique_ptr<MemoryBlock> taken(block);
        }
        block = next;
    }
    m_nTotalBlocks -= op->m_nTotalBlocks;
    Unlink(op);
}

bool MirelDebuggee::StartNextPropertyRead() {
    MemoryOperation* head = m_lstMemoryOperations.Front();
    if (!head || (head->m_Type != MOT_READ_PROPERTY && head->m_Type != MOT_READ_STRING_PROPERTY))
        return false;
    if (m_State == STATE_READ_PROPERTY)
        return false;
    m_State = STATE_READ_PROPERTY;
    m_hSyncCommandPacket = SendTracedRequest(&m_dwSyncCommandId, "GP%d", head->m_nSysCall);
    return true;
}

void MirelDebuggee::ContinueList() {
    if (StartNextPropertyRead())
        return;
    for (MemoryOperation* op = m_lstMemoryOperations.Front(); op; op = OperationList::Next(op)) {
        if (op->m_Type == MOT_READ_PROPERTY || op->m_Type == MOT_READ_STRING_PROPERTY)
            break;
        if (op->m_nTotalBlocks == 0) {
            m_State = STATE_READ_MEMORY;
            IssueReadBlocks(op);
        }
    }
}

bool MirelDebuggee::CompleteBlock(MemoryBlock* block) {
    MemoryOperation* op = block->m_pOperation;
    ++op->m_nCompleteBlocks;
    ++m_nCompleteBlocks;
    m_pTransport->RemoveRequest(block->m_hRequest);
    if (block->m_hRequest)
        m_mapBlocks.erase(block->m_dwRequestId);
    m_lstBlocks.Remove(block);
    std::unique_ptr<MemoryBlock> owned(block);
    if (op->m_nCompleteBlocks >= op->m_nTotalBlocks) {
        m_nCompleteBlocks -= op->m_nCompleteBlocks;
        m_nTotalBlocks -= op->m_nTotalBlocks;
    }
    const int64_t percentage =
        m_nTotalBlocks == 0 ? 100 : int64_t{m_nCompleteBlocks} * 100 / int64_t{m_nTotalBlocks};
    QueueSimple(PendingEvent::Progress, static_cast<LONG>(percentage));
    return op->m_nCompleteBlocks >= op->m_nTotalBlocks;
}

std::unique_ptr<MirelDebuggee::MemoryOperation> MirelDebuggee::Unlink(MemoryOperation* op) {
    m_lstMemoryOperations.Remove(op);
    return std::unique_ptr<MemoryOperation>(op);
}

void MirelDebuggee::ReportReadComplete(std::unique_ptr<MemoryOperation> op) {
    PendingEvent event;
    event.kind = PendingEvent::ReadComplete;
    event.details = kOperationDone;
    event.address = op->m_dwAddress;
    event.lParam = op->m_lParam;
    event.data = std::move(op->m_Data);
    Queue(std::move(event));
}

HRESULT MirelDebuggee::CancelRead(LONG lParam) {
    return winport::ComEntry([&] { return CancelOneRead(lParam); });
}

HRESULT MirelDebuggee::CancelOneRead(LONG lParam) {
    MemoryOperation* op = m_lstMemoryOperations.Front();
    for (; op; op = OperationList::Next(op))
        if (op->m_Type != MOT_WRITE_MEMORY && op->m_Type != MOT_WRITE_PROPERTY && op->m_lParam == lParam)
            break;
    if (!op)
        return kNoSuchRead;
    Scope scope(this);
    if (m_State == STATE_READ_PROPERTY && op == m_lstMemoryOperations.Front()) {
        m_pTransport->RemoveRequest(m_hSyncCommandPacket);
        ClearSyncCommand();
        m_State = STATE_READY;
    } else {
        // Its blocks are written off one by one, each with its progress event.
        for (MemoryBlock* block = m_lstBlocks.Front(); block;) {
            MemoryBlock* next = BlockList::Next(block);
            if (block->m_pOperation == op)
                CompleteBlock(block);
            block = next;
        }
    }
    std::unique_ptr<MemoryOperation> cancelled = Unlink(op);
    if (m_lstMemoryOperations.Empty())
        m_State = STATE_READY;
    else
        ContinueList();
    PendingEvent event;
    event.kind = PendingEvent::ReadComplete;
    event.value = kCancelled;
    event.details = kOperationCancelled;
    event.address = cancelled->m_dwAddress;
    event.lParam = cancelled->m_lParam;
    Queue(std::move(event));
    return S_OK;
}

HRESULT MirelDebuggee::WriteMemory(ULONG dwAddress, ULONG dwLength, void* pvData) {
    return winport::ComEntry([&] { return StartWrite(MOT_WRITE_MEMORY, -1, dwAddress, dwLength, pvData); });
}

HRESULT MirelDebuggee::WriteProperty(int nSysCall, ULONG dwAddress, ULONG dwLength, void* pvData) {
    if (nSysCall < 0)
        return E_INVALIDARG;
    return winport::ComEntry(
        [&] { return StartWrite(MOT_WRITE_PROPERTY, nSysCall, dwAddress, dwLength, pvData); });
}

HRESULT MirelDebuggee::StartWrite(int type, int nSysCall, ULONG dwAddress, ULONG dwLength,
                                  const void* pvData) {
    if (m_State != STATE_READY)
        return kNotReady;
    if (dwLength == 0 || !InAddressSpace(dwAddress, dwLength))
        return E_INVALIDARG;
    if (!pvData)
        return E_POINTER;
    Scope scope(this);
    auto created = std::make_unique<MemoryOperation>();
    MemoryOperation* op = created.get();
    op->m_Type = type;
    op->m_nSysCall = nSysCall;
    const auto* data = static_cast<const uint8_t*>(pvData);
    const int length = static_cast<int>(dwLength);
    const int count = (length + m_nWriteBlockSize - 1) / m_nWriteBlockSize;
    op->m_nTotalBlocks = count;
    m_nTotalBlocks += count;
    // Listed first, so that its blocks never point at an operation that is gone.
    m_lstMemoryOperations.PushBack(created.release());
    try {
        for (int i = 0; i < count; ++i) {
            const int offset = i * m_nWriteBlockSize;
            const int bytes = std::min(m_nWriteBlockSize, length - offset);
            std::string body = Format("SM%04x", dwAddress + static_cast<ULONG>(offset));
            for (int b = 0; b < bytes; ++b)
                body += Format(",%02x", data[offset + b]);
            IssueBlock(op, i, bytes, body);
        }
    } catch (...) {
        TakeBack(op);
        throw;
    }
    m_State = type == MOT_WRITE_MEMORY ? STATE_WRITE_MEMORY : STATE_WRITE_PROPERTY;
    return S_OK;
}

// ---------------------------------------------------------------- replies

void MirelDebuggee::ReceiveHandler(const char* text, int length, void* user) {
    static_cast<MirelDebuggee*>(user)->OnReceive(text, length);
}

void MirelDebuggee::KeepAliveHandler(void* user) {
    static_cast<MirelDebuggee*>(user)->OnKeepAliveTimer();
}

void MirelDebuggee::OnKeepAliveTimer() {
    if (m_State == STATE_IDLE)
        return;
    Scope scope(this);
    QueueTrace(5, "PC");
    m_pTransport->SendOnce("PC", 2);
    m_KeepAliveTimer.Set(m_dwKeepAliveInterval, &MirelDebuggee::KeepAliveHandler, this);
}

void MirelDebuggee::OnReceive(const char* text, int length) {
    if (m_State == STATE_IDLE || !text || length <= 0)
        return;
    ComPtr<IUnknown> keepAlive(m_pOuter);
    {
        Scope scope(this);
        QueueSimple(PendingEvent::KeepAlive);
    }
    // The sinks may have ended the link or changed the state meanwhile.
    if (m_State == STATE_IDLE)
        return;
    Scope scope(this);
    const uint32_t id = MessageTransport::ParseReplyId(text, length);
    if (id == 0) {
        OnUnsolicited(text, length);
        return;
    }
    QueueTrace(4, std::string(text, static_cast<size_t>(length)));
    auto found = m_mapBlocks.find(id);
    MemoryBlock* block = found == m_mapBlocks.end() ? nullptr : found->second;
    switch (m_State) {
        case STATE_COMMAND:
            if (id == m_dwSyncCommandId)
                OnCommandReply(text, length);
            break;
        case STATE_READ_MEMORY:
            if (block)
                OnReadBlockReply(block, text, length);
            break;
        case STATE_WRITE_MEMORY:
        case STATE_WRITE_PROPERTY:
            if (block)
                OnWriteBlockReply(block, text);
            break;
        case STATE_READ_PROPERTY:
            if (id == m_dwSyncCommandId)
                OnPropertyReadReply(text);
            break;
        case STATE_SET_PROPERTY:
            if (id == m_dwSyncCommandId)
                OnPropertySetReply(text);
            break;
        default:
            break;
    }
}

void MirelDebuggee::OnUnsolicited(const char* text, int length) {
    if (text[0] != 'A' && text[0] != 'J')
        return;
    OSKAN_PCODE_MACHINE_STATE state;
    if (!ParsePcmState(text, length, &state))
        return;
    QueueTrace(text[0] == 'A' ? 6 : 7, std::string(text, static_cast<size_t>(length)));
    if (std::memcmp(&state, &m_PcmState, sizeof state) == 0)
        return;
    m_PcmState = state;
    QueueSimple(PendingEvent::StateChange);
}

void MirelDebuggee::OnCommandReply(const char* text, int length) {
    // Anything but an acceptance leaves the command to be sent again.
    if (text[0] != 'A')
        return;
    OSKAN_PCODE_MACHINE_STATE state;
    if (!ParsePcmState(text, length, &state)) {
        QueueSimple(PendingEvent::Error, kInvalidResponse, kInvalidStateText);
        return;
    }
    m_PcmState = state;
    m_pTransport->RemoveRequest(m_hSyncCommandPacket);
    ClearSyncCommand();
    m_State = STATE_READY;
    QueueSimple(PendingEvent::CommandComplete, 0, kCommandDone);
}

void MirelDebuggee::OnReadBlockReply(MemoryBlock* block, const char* text, int length) {
    MemoryOperation* op = block->m_pOperation;
    if (text[0] != 'A')
        return;
    const int offset = block->m_nIndex * op->m_nBlockSize;
    const int count = std::min(op->m_nBlockSize, static_cast<int>(op->m_Data.size()) - offset);
    if (length < 16 + 3 * count)
        return;
    ULONG address = 0;
    if (!ReadHex(text, length, 10, &address) || address != op->m_dwAddress + static_cast<ULONG>(offset))
        return;
    uint8_t bytes[32];
    for (int i = 0; i < count; ++i) {
        const int high = winport::HexDigitValue(text[16 + 3 * i]);
        const int low = winport::HexDigitValue(text[17 + 3 * i]);
        if (high < 0 || low < 0)
            return;
        bytes[i] = static_cast<uint8_t>(high * 16 + low);
    }
    std::memcpy(op->m_Data.data() + offset, bytes, static_cast<size_t>(count));
    if (!CompleteBlock(block))
        return;

    if (op->m_Type == MOT_READ_STRING) {
        // The header gives the number of characters; read header and characters.
        // Characters beyond the end of memory do not exist: the string is cut there.
        const size_t wanted = size_t{op->m_Data[0]} + 2;
        const size_t room = kAddressSpace - op->m_dwAddress;
        op->m_Type = MOT_READ_MEMORY;
        op->m_Data.resize(std::min(wanted, room), 0);
        IssueReadBlocks(op);
        return;
    }
    std::unique_ptr<MemoryOperation> done = Unlink(op);
    if (m_lstMemoryOperations.Empty())
        m_State = STATE_READY;
    else
        StartNextPropertyRead();
    ReportReadComplete(std::move(done));
}

void MirelDebuggee::OnWriteBlockReply(MemoryBlock* block, const char* text) {
    if (text[0] != 'A')
        return;
    MemoryOperation* op = block->m_pOperation;
    if (!CompleteBlock(block))
        return;
    if (op->m_Type == MOT_WRITE_MEMORY) {
        Unlink(op);
        m_State = STATE_READY;
        QueueSimple(PendingEvent::CommandComplete, 0, kOperationDone);
        return;
    }
    m_State = STATE_SET_PROPERTY;
    m_hSyncCommandPacket = SendTracedRequest(&m_dwSyncCommandId, "SR%d", op->m_nSysCall);
}

void MirelDebuggee::OnPropertyReadReply(const char* text) {
    if (text[0] != 'A')
        return;
    m_pTransport->RemoveRequest(m_hSyncCommandPacket);
    ClearSyncCommand();
    MemoryOperation* head = m_lstMemoryOperations.Front();
    if (head)
        head->m_Type = head->m_Type == MOT_READ_STRING_PROPERTY ? MOT_READ_STRING : MOT_READ_MEMORY;
    m_State = STATE_READ_MEMORY;
    ContinueList();
}

void MirelDebuggee::OnPropertySetReply(const char* text) {
    if (text[0] != 'A')
        return;
    m_pTransport->RemoveRequest(m_hSyncCommandPacket);
    ClearSyncCommand();
    m_State = STATE_READY;
    if (MemoryOperation* head = m_lstMemoryOperations.Front())
        Unlink(head);
    QueueSimple(PendingEvent::CommandComplete, 0, kOperationDone);
}

void MirelDebuggee::ClearSyncCommand() {
    m_hSyncCommandPacket = nullptr;
    m_dwSyncCommandId = 0;
}

BOOL MirelDebuggee::ParsePcmState(const char* text, int length, OSKAN_PCODE_MACHINE_STATE* state) {
    OSKAN_PCODE_MACHINE_STATE parsed{};
    int32_t code = 0;
    if (!text || !MessageTransport::ParseStatusField(text, length, &parsed.m_Mode, &code))
        return FALSE;
    parsed.m_lError = code;
    static constexpr const char* kTags[4] = {"A:", "B:", "PC:", "SP:"};
    for (int i = 0; i < 4; ++i) {
        const int at = FindTag(text, length, kTags[i]);
        if (at < 0)
            return FALSE;
        if (!ReadHex(text, length, at + static_cast<int>(std::strlen(kTags[i])), &parsed.m_Registers[i]))
            return FALSE;
    }
    const int flags = FindTag(text, length, "FL:");
    if (flags < 0 || flags + 6 > length)
        return FALSE;
    for (int bit = 0; bit < 3; ++bit)
        if (text[flags + 3 + bit] != '*')
            parsed.m_Registers[4] |= 1u << bit;
    const char* slash = static_cast<const char*>(
        std::memchr(text + flags + 6, '/', static_cast<size_t>(length - (flags + 6))));
    if (slash)
        parsed.m_dwTickCount = ReadDecimal(text, length, static_cast<int>(slash - text) + 1);
    if (state)
        *state = parsed;
    return TRUE;
}

// ---------------------------------------------------------------- events

void MirelDebuggee::Queue(PendingEvent event) {
    auto fire = [this, event = std::move(event)] { Fire(event); };
    if (m_Completions.InScope()) {
        m_Completions.Post(std::move(fire));
        return;
    }
    Scope scope(this);
    m_Completions.Post(std::move(fire));
}

void MirelDebuggee::QueueSimple(PendingEvent::Kind kind, LONG value, const OLECHAR* details) {
    PendingEvent event;
    event.kind = kind;
    event.value = value;
    event.details = details;
    Queue(std::move(event));
}

void MirelDebuggee::QueueTrace(int level, std::string text) {
    // Most hosts do not listen: a line per block would cost more than the block.
    if (m_cpTrace.ConnectionCount() == 0)
        return;
    PendingEvent event;
    event.kind = PendingEvent::Trace;
    event.value = level;
    event.data.assign(text.begin(), text.end());
    event.data.push_back(0);
    Queue(std::move(event));
}

void MirelDebuggee::Fire(const PendingEvent& event) {
    using Sink = _ISkDebuggeeEvents;
    switch (event.kind) {
        case PendingEvent::KeepAlive:
            SkFireCustomEvent<Sink>(m_cpEvents, [](Sink* sink) { return sink->OnKeepAlive(); });
            break;
        case PendingEvent::StateChange:
            SkFireCustomEvent<Sink>(m_cpEvents, [](Sink* sink) { return sink->OnPCodeMachineStateChange(); });
            break;
        case PendingEvent::Progress:
            SkFireCustomEvent<Sink>(m_cpEvents,
                                    [&](Sink* sink) { return sink->OnMemoryProgress(event.value); });
            break;
        case PendingEvent::Error:
            SkFireCustomEvent<Sink>(m_cpEvents,
                                    [&](Sink* sink) { return sink->OnError(event.value, event.details); });
            break;
        case PendingEvent::CommandComplete:
            SkFireCustomEvent<Sink>(m_cpEvents, [&](Sink* sink) {
                return sink->OnDebugCommandComplete(event.value, event.details);
            });
            break;
        case PendingEvent::ReadComplete: {
            // Each sink gets its own copy: one may write into the buffer.
            SkFireCustomEvent<Sink>(m_cpEvents, [&](Sink* sink) {
                std::vector<uint8_t> data = event.data;
                return sink->OnReadMemoryComplete(event.value, event.details, event.address,
                                                  static_cast<ULONG>(data.size()),
                                                  data.empty() ? nullptr : data.data(), event.lParam);
            });
            break;
        }
        case PendingEvent::Trace:
            SkFireTraceF(m_cpTrace, event.value, "%s", reinterpret_cast<const char*>(event.data.data()));
            break;
    }
}
