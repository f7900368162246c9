#include "common/SkCmdTarget.h"

#include <cstring>
#include <memory>
#include <new>
#include <string>

SkCmdTarget::SkCmdTarget(MessageTransport* transport, IUnknown* owner)
    : m_pTransport(transport), m_pOwner(owner) {}

SkCmdTarget::~SkCmdTarget() {
    // Completion handlers run from here must not start anything new: it could
    // never complete.
    m_bDestroying = true;
    Cancel();
}

HRESULT SkCmdTarget::Send(const char* command, int length, CompletionFunction complete, void* user,
                          LONG lParam) {
    if (m_bDestroying)
        return E_ABORT;
    const bool withoutId = (m_lFlags & kFlagNoId) != 0;
    // The device could not tell which of two replies without id is whose.
    if (withoutId && m_pCommandWithoutId)
        return kBusy;
    if (!command || length < 0)
        length = 0;
    // The transport would cut a longer body to make room for the id: refused
    // whole rather than sent cut.
    if (!withoutId && length > MessageTransport::kMaxRequestBody)
        return E_INVALIDARG;

    std::unique_ptr<CommandRecord> record;
    try {
        record = std::make_unique<CommandRecord>();
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
    const bool openedClient = !m_hTransportClient;
    if (openedClient) {
        m_hTransportClient = m_pTransport->OpenClient(&SkCmdTarget::ReceiveHandler, this);
        if (!m_hTransportClient)
            return E_OUTOFMEMORY;
    }
    if (withoutId) {
        record->m_hRequest = m_pTransport->SendData(m_hTransportClient, command, length);
    } else {
        // The body goes through "%.*s": a command holding "%" is sent as it is.
        record->m_hRequest = m_pTransport->SendRequest(m_hTransportClient, &record->m_dwId, "%.*s", length,
                                                       length ? command : "");
    }
    if (!record->m_hRequest) {
        if (openedClient)
            CloseClientIfIdle();
        return E_OUTOFMEMORY;
    }
    record->m_pfnComplete = complete;
    record->m_pUser = user;
    record->m_lParam = lParam;
    if (withoutId) {
        m_pCommandWithoutId = record.get();
    } else {
        try {
            m_mapIds.emplace(record->m_dwId, record.get());
        } catch (const std::bad_alloc&) {
            m_pTransport->RemoveRequest(record->m_hRequest);
            if (openedClient)
                CloseClientIfIdle();
            return E_OUTOFMEMORY;
        }
    }
    m_lstPending.PushBack(record.release());  // owned by the pending list
    return S_OK;
}

void SkCmdTarget::Cancel() {
    if (m_lstPending.Empty())
        return;
    CompletionScope scope(m_Completions, m_pOwner);
    // The engine is idle before the first completion runs: a command sent from
    // one of them starts afresh and stays pending.
    m_mapIds.clear();
    m_pCommandWithoutId = nullptr;
    m_pTransport->CloseClient(m_hTransportClient);
    m_hTransportClient = nullptr;
    while (CommandRecord* record = m_lstPending.PopFront()) {
        std::unique_ptr<CommandRecord> owned(record);  // its request went with the client
        PostCompletion(*owned, kCancelled, kCancelledText, {});
    }
}

void SkCmdTarget::PostCompletion(const CommandRecord& record, uint32_t error, const char* details,
                                 std::string response) {
    if (!record.m_pfnComplete)
        return;
    const bool withResponse = error == kCompleted;
    m_Completions.Post([complete = record.m_pfnComplete, user = record.m_pUser, lParam = record.m_lParam,
                        error, details, withResponse, response = std::move(response)] {
        complete(error, details, withResponse ? response.c_str() : nullptr,
                 withResponse ? static_cast<int>(response.size()) : 0, user, lParam);
    });
}

void SkCmdTarget::ReceiveHandler(const char* text, int length, void* user) {
    static_cast<SkCmdTarget*>(user)->OnReply(text, length);
}

SkCmdTarget::CommandRecord* SkCmdTarget::TakeRecordFor(const char* text, int length) {
    const uint32_t id = MessageTransport::ParseReplyId(text, length);
    if (id == 0) {
        CommandRecord* record = m_pCommandWithoutId;
        m_pCommandWithoutId = nullptr;
        return record;
    }
    auto it = m_mapIds.find(id);
    if (it == m_mapIds.end())
        return nullptr;  // another engine's reply, or a cancelled command's
    CommandRecord* record = it->second;
    m_mapIds.erase(it);
    return record;
}

void SkCmdTarget::Detach(CommandRecord* record) {
    m_lstPending.Remove(record);
    m_pTransport->RemoveRequest(record->m_hRequest);
    record->m_hRequest = nullptr;
}

void SkCmdTarget::CloseClientIfIdle() {
    if (!m_lstPending.Empty() || !m_hTransportClient)
        return;
    m_pTransport->CloseClient(m_hTransportClient);
    m_hTransportClient = nullptr;
}

void SkCmdTarget::OnReply(const char* text, int length) {
    CommandRecord* found = TakeRecordFor(text, length);
    if (!found)
        return;
    CompletionScope scope(m_Completions, m_pOwner);
    std::unique_ptr<CommandRecord> record(found);
    Detach(found);
    CloseClientIfIdle();

    int responseLength = length;
    if (record->m_dwId != 0) {
        const void* bar = std::memchr(text, '|', static_cast<size_t>(length));
        if (bar)
            responseLength = static_cast<int>(static_cast<const char*>(bar) - text);
    }
    PostCompletion(*record, kCompleted, kCompletedText,
                   std::string(text, static_cast<size_t>(responseLength)));
}
