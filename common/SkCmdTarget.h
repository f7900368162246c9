#pragma once
// Text commands to a device and their replies. Each command goes out as a
// request of the device's message transport and stays pending, resent by the
// transport, until the device's reply arrives or the owner cancels; there is
// no time limit. Several commands may be pending at once; each completes
// exactly once, through its own completion function. A completion is fired
// after the engine's state is final, and nothing the engine holds is touched
// after it (see CompletionScope).
//
// Replies are matched by the request id the device echoes. With the flag
// kFlagNoId set, commands go out without id and a reply without id completes
// the one such command outstanding; only one may be outstanding at a time.

#include <cstdint>
#include <map>
#include <string>

#include "common/CompletionScope.h"
#include "common/IntrusiveList.h"
#include "common/MessageTransport.h"
#include "winport/base/errors.h"

class SkCmdTarget {
public:
    // (error, details, response text or null, response length, user, lParam).
    // The texts live only for the call.
    using CompletionFunction = void (*)(uint32_t error, const char* details, const char* response,
                                        int responseLength, void* user, LONG lParam);

    static constexpr LONG kFlagNoId = 2;
    static constexpr uint32_t kCompleted = 0;
    static constexpr uint32_t kCancelled = 1223;  // ERROR_CANCELLED
    static constexpr const char* kCompletedText = "Operation completed successfully";
    static constexpr const char* kCancelledText = "Operation cancelled";
    // Send's answer while a command without id is outstanding in that mode.
    static constexpr HRESULT kBusy = HRESULT_FROM_WIN32(ERROR_NOT_READY);  // 0x80070015

    // The owner (may be null) is held while the engine fires completions, so
    // that a handler may release it.
    explicit SkCmdTarget(MessageTransport* transport, IUnknown* owner = nullptr);
    SkCmdTarget(const SkCmdTarget&) = delete;
    SkCmdTarget& operator=(const SkCmdTarget&) = delete;
    // Every pending command completes as cancelled first.
    ~SkCmdTarget();

    // Sends the text (length bytes, any of them; a null text is an empty
    // command). S_OK when the command is pending; kBusy, E_INVALIDARG (with
    // id, longer than MessageTransport::kMaxRequestBody), E_OUTOFMEMORY or
    // E_ABORT (the engine is being destroyed) when nothing was sent and no
    // completion will follow.
    HRESULT Send(const char* command, int length, CompletionFunction complete, void* user, LONG lParam);
    // Completes every command pending at the call as cancelled, in the order
    // they were sent. Commands sent from those completions stay pending.
    void Cancel();

    LONG Flags() const { return m_lFlags; }
    void SetFlags(LONG flags) { m_lFlags = flags; }

    size_t PendingCount() const { return m_lstPending.Size(); }
    bool HasTransportClient() const { return m_hTransportClient != nullptr; }

private:
    struct CommandRecord {
        ListLink<CommandRecord> m_Link;
        uint32_t m_dwId = 0;  // 0: sent without id
        TransportRequest* m_hRequest = nullptr;
        CompletionFunction m_pfnComplete = nullptr;
        void* m_pUser = nullptr;
        LONG m_lParam = 0;
    };
    using CommandList = IntrusiveList<CommandRecord, &CommandRecord::m_Link>;

    static void ReceiveHandler(const char* text, int length, void* user);
    void OnReply(const char* text, int length);
    CommandRecord* TakeRecordFor(const char* text, int length);
    void Detach(CommandRecord* record);
    void CloseClientIfIdle();
    void PostCompletion(const CommandRecord& record, uint32_t error, const char* details,
                        std::string response);

    CommandList m_lstPending;  // owned records, in order of sending
    std::map<uint32_t, CommandRecord*> m_mapIds;
    LONG m_lFlags = 0;
    CommandRecord* m_pCommandWithoutId = nullptr;
    TransportClient* m_hTransportClient = nullptr;
    MessageTransport* const m_pTransport;
    IUnknown* const m_pOwner;
    bool m_bDestroying = false;
    CompletionQueue m_Completions;  // last: a dying engine's completions fire first
};
