#pragma once
// The debugger of one device's P-code machine: the ISkDebuggee part of the
// device object. Each debugging command is a text request answered with the
// whole machine state; a keep-alive polls the state every 2 s while the link
// is up; memory and property transfers are split into 16-byte block requests
// that all go out at once (the transport keeps four in flight).
//
// Every outcome is an event on _ISkDebuggeeEvents, and trace lines go to
// _ISkTrace. An event is fired after the engine's state is final, and nothing
// the engine holds is touched after it (see CompletionScope): a sink may call
// anything, including EndDebug or the last Release, from any event. Events
// reach the sinks in the order they happened: those of a call a sink makes
// from inside an event are fired after the ones still waiting, once that call
// has returned.

#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "Mirel/MirelInterfaces.h"
#include "common/CompletionScope.h"
#include "common/IntrusiveList.h"
#include "common/MessageTransport.h"
#include "common/WinServiceWnd.h"
#include "common/objects/SkConnectionPoint.h"

class MirelDebuggee final : public ISkDebuggee {
public:
    enum {
        STATE_IDLE = 0,
        STATE_READY = 1,
        STATE_COMMAND = 2,
        STATE_READ_MEMORY = 3,
        STATE_WRITE_MEMORY = 4,
        STATE_READ_PROPERTY = 5,
        STATE_WRITE_PROPERTY = 6,
        STATE_SET_PROPERTY = 7,
    };
    enum {
        MOT_READ_MEMORY = 0,
        MOT_READ_STRING = 1,
        MOT_READ_PROPERTY = 2,
        MOT_READ_STRING_PROPERTY = 3,
        MOT_WRITE_MEMORY = 4,
        MOT_WRITE_PROPERTY = 5,
    };

    static constexpr HRESULT kNotReady = HRESULT_FROM_WIN32(ERROR_NOT_READY);            // 0x80070015
    static constexpr HRESULT kNoSuchRead = HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);     // 0x80070002
    static constexpr HRESULT kInvalidResponse = HRESULT_FROM_WIN32(ERROR_INVALID_DATA);  // 0x8007000D
    static constexpr LONG kCancelled = ERROR_CANCELLED;                                  // 1223
    // Addresses go out as "%04x": the machine's memory is 64 KiB.
    static constexpr ULONG kAddressSpace = 0x10000;
    // Room left for the code breakpoint list in the longest request that
    // carries it: "PO" ffff "-" ffffffff "," ffffffff "+".
    static constexpr int kMaxCodeBreakpointText = MessageTransport::kMaxRequestBody - 25;

    // `outer` is the object this part belongs to: it answers QueryInterface and
    // holds the reference count. The transport and the connection points are
    // the outer object's and outlive this part.
    MirelDebuggee(IUnknown* outer, MessageTransport* transport, SkConnectionPoint& events,
                  SkConnectionPoint& trace);
    MirelDebuggee(const MirelDebuggee&) = delete;
    MirelDebuggee& operator=(const MirelDebuggee&) = delete;
    // Ends the link: whatever is outstanding completes as cancelled.
    ~MirelDebuggee();

    // IUnknown, delegated to the outer object
    HRESULT QueryInterface(REFIID riid, void** ppvObject) override;
    ULONG AddRef() override;
    ULONG Release() override;

    // ISkDebuggee
    HRESULT BeginDebug() override;
    HRESULT EndDebug() override;
    HRESULT Cancel() override;
    HRESULT GetPCodeMachineState(OSKAN_PCODE_MACHINE_STATE* pState) override;
    HRESULT Synchronize() override;
    HRESULT Run() override;
    HRESULT Break() override;
    HRESULT RunTo(ULONG dwAddress) override;
    HRESULT Restart() override;
    HRESULT StepInstruction() override;
    HRESULT StepInto(ULONG dwAddress, ULONG dwLength) override;
    HRESULT StepOver(ULONG dwAddress, ULONG dwLength) override;
    HRESULT StepOut() override;
    HRESULT SetCodeBreakpoints(ULONG* pBreakpoints, int nCount) override;
    HRESULT SetMemoryBreakpoints(OSKAN_MEMORY_BREAKPOINT* pBreakpoints, int nCount) override;
    HRESULT SetRegisterValue(int nRegister, int nValue) override;
    HRESULT ReadMemory(ULONG dwAddress, ULONG dwLength, LONG lParam) override;
    HRESULT ReadString(ULONG dwAddress, LONG lParam) override;
    HRESULT ReadProperty(int nSysCall, ULONG dwAddress, ULONG dwLength, LONG lParam) override;
    HRESULT ReadStringProperty(int nSysCall, ULONG dwAddress, LONG lParam) override;
    HRESULT CancelRead(LONG lParam) override;
    HRESULT WriteMemory(ULONG dwAddress, ULONG dwLength, void* pvData) override;
    HRESULT WriteProperty(int nSysCall, ULONG dwAddress, ULONG dwLength, void* pvData) override;

    // A state message: status field, "A:", "B:", "PC:", "SP:" with hexadecimal
    // values, "FL:" with three flag characters, optionally "/" and a decimal
    // tick count. FALSE when a part is missing.
    static BOOL ParsePcmState(const char* text, int length, OSKAN_PCODE_MACHINE_STATE* state);

    // For tests and tools.
    int State() const { return m_State; }
    const std::string& CodeBreakpointText() const { return m_strCodeBreakpoints; }
    const std::vector<OSKAN_MEMORY_BREAKPOINT>& MemoryBreakpoints() const { return m_MemoryBreakpoints; }
    size_t OperationCount() const { return m_lstMemoryOperations.Size(); }
    size_t OutstandingBlocks() const { return m_lstBlocks.Size(); }
    int TotalBlocks() const { return m_nTotalBlocks; }
    int CompleteBlocks() const { return m_nCompleteBlocks; }
    bool KeepAliveArmed() const { return m_KeepAliveTimer.IsArmed(); }

private:
    struct MemoryOperation {
        ListLink<MemoryOperation> m_Link;
        int m_Type = MOT_READ_MEMORY;
        int m_nSysCall = -1;
        int m_nCompleteBlocks = 0;
        int m_nTotalBlocks = 0;
        ULONG m_dwAddress = 0;
        int m_nBlockSize = 0;
        LONG m_lParam = 0;
        std::vector<uint8_t> m_Data;
    };
    struct MemoryBlock {
        ListLink<MemoryBlock> m_Link;
        MemoryOperation* m_pOperation = nullptr;
        int m_nIndex = 0;  // reads
        int m_nBytes = 0;  // writes
        TransportRequest* m_hRequest = nullptr;
        uint32_t m_dwRequestId = 0;
    };
    using OperationList = IntrusiveList<MemoryOperation, &MemoryOperation::m_Link>;
    using BlockList = IntrusiveList<MemoryBlock, &MemoryBlock::m_Link>;

    // An event waiting for the entry point to finish.
    struct PendingEvent {
        enum Kind { KeepAlive, StateChange, Progress, Error, CommandComplete, ReadComplete, Trace };
        Kind kind = KeepAlive;
        LONG value = 0;  // percentage, error code or trace level
        const OLECHAR* details = nullptr;
        ULONG address = 0;
        LONG lParam = 0;
        std::vector<uint8_t> data;  // a read's result, or a trace line
    };
    // Held by every entry point: keeps the outer object alive and fires the
    // events when the outermost one ends.
    class Scope : public CompletionScope {
    public:
        explicit Scope(MirelDebuggee* engine) : CompletionScope(engine->m_Completions, engine->m_pOuter) {}
    };
    // What an ended link or a cancel leaves to report.
    struct Abandoned {
        bool command = false;
        std::vector<std::unique_ptr<MemoryOperation>> operations;
    };

    // The bodies of BeginDebug, EndDebug and CancelRead.
    HRESULT OpenLink();
    HRESULT CloseLink();
    HRESULT CancelOneRead(LONG lParam);
    // Commands
    HRESULT SendCommand(const char* format, ...) __attribute__((format(printf, 2, 3)));
    TransportRequest* SendTracedRequest(uint32_t* id, const char* format, ...)
        __attribute__((format(printf, 3, 4)));
    Abandoned AbandonAll();
    void ReportAbandoned(Abandoned& abandoned);

    // Memory operations
    HRESULT StartRead(int type, int nSysCall, ULONG dwAddress, size_t size, LONG lParam);
    HRESULT StartWrite(int type, int nSysCall, ULONG dwAddress, ULONG dwLength, const void* pvData);
    bool OnlyPlainReadsListed() const;
    void IssueReadBlocks(MemoryOperation* op);
    void IssueBlock(MemoryOperation* op, int index, int bytes, const std::string& body);
    // Takes back a new operation whose blocks could not all be issued: its
    // blocks, their requests and its count, and the operation itself.
    void TakeBack(MemoryOperation* op);
    bool StartNextPropertyRead();
    void ContinueList();
    bool CompleteBlock(MemoryBlock* block);
    std::unique_ptr<MemoryOperation> Unlink(MemoryOperation* op);
    void ReportReadComplete(std::unique_ptr<MemoryOperation> op);

    // Replies
    static void ReceiveHandler(const char* text, int length, void* user);
    static void KeepAliveHandler(void* user);
    void OnReceive(const char* text, int length);
    void OnKeepAliveTimer();
    void OnUnsolicited(const char* text, int length);
    void OnCommandReply(const char* text, int length);
    void OnReadBlockReply(MemoryBlock* block, const char* text, int length);
    void OnWriteBlockReply(MemoryBlock* block, const char* text);
    void OnPropertyReadReply(const char* text);
    void OnPropertySetReply(const char* text);
    void ClearSyncCommand();

    // Events
    void Queue(PendingEvent event);
    void QueueSimple(PendingEvent::Kind kind, LONG value = 0, const OLECHAR* details = nullptr);
    void QueueTrace(int level, std::string text);
    void Fire(const PendingEvent& event);

    IUnknown* const m_pOuter;
    MessageTransport* const m_pTransport;
    SkConnectionPoint& m_cpEvents;
    SkConnectionPoint& m_cpTrace;
    CompletionQueue m_Completions;

    int m_State = STATE_IDLE;
    OSKAN_PCODE_MACHINE_STATE m_PcmState{};
    TransportClient* m_hTransportClient = nullptr;
    TransportRequest* m_hSyncCommandPacket = nullptr;
    uint32_t m_dwSyncCommandId = 0;
    std::vector<OSKAN_MEMORY_BREAKPOINT> m_MemoryBreakpoints;
    std::vector<ULONG> m_CodeBreakpoints;
    std::string m_strCodeBreakpoints;
    const uint32_t m_dwKeepAliveInterval = 2000;
    WinTimer m_KeepAliveTimer;

    OperationList m_lstMemoryOperations;  // owned; the head is the oldest
    BlockList m_lstBlocks;                // owned; in order of issue
    int m_nTotalBlocks = 0;
    int m_nCompleteBlocks = 0;
    std::unordered_map<uint32_t, MemoryBlock*> m_mapBlocks;
    const int m_nReadBlockSize = 16;
    const int m_nWriteBlockSize = 16;
};
