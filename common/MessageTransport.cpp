#include "common/MessageTransport.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

#include "winport/loop/ServiceLoop.h"

MessageTransport::MessageTransport() : m_dwNextRequestId(winport::GetTickCount()) {
    m_Config.m_nTick = 200;
    m_Config.m_nWindow = 4;
    m_Config.m_nTransmissionLimit = 5;
    m_Config.m_nInterval = 500;
    m_Config.m_pfnSend = &MessageTransport::SendPacket;
    m_Config.m_pfnExpire = &MessageTransport::ExpirePacket;
    m_Retransmitter.Configure(m_Config);
}

MessageTransport::~MessageTransport() {
    // Nothing may be sent from here on: the framing of a derived transport is
    // already gone, and removals would otherwise promote waiting requests.
    m_Retransmitter.LockTransmission(TRUE);
    while (TransportClient* client = m_lstClients.Front()) {
        RemoveClientRequests(client);
        m_lstClients.Remove(client);
        std::unique_ptr<TransportClient> owned(client);
    }
}

TransportClient* MessageTransport::OpenClient(TransportClient::ReceiveFunction receive, void* user) {
    std::unique_ptr<TransportClient> client;
    try {
        client = std::make_unique<TransportClient>();
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
    client->m_pfnReceive = receive;
    client->m_pUser = user;
    client->m_nSerial = ++m_nClientSerial;
    m_lstClients.PushBack(client.get());
    return client.release();  // owned by the client list until CloseClient
}

void MessageTransport::CloseClient(TransportClient* client) {
    if (!client)
        return;
    RemoveClientRequests(client);
    m_Dispatches.Removing(client, decltype(m_lstClients)::Next(client));
    m_lstClients.Remove(client);
    std::unique_ptr<TransportClient> owned(client);
}

TransportRequest* MessageTransport::SendRequest(TransportClient* client, uint32_t* id, const char* format,
                                                ...) {
    va_list args;
    va_start(args, format);
    TransportRequest* request = SendRequestV(client, id, format, args);
    va_end(args);
    return request;
}

TransportRequest* MessageTransport::SendRequestV(TransportClient* client, uint32_t* id, const char* format,
                                                 va_list args) {
    char text[kRequestBufferSize];
    int body = std::vsnprintf(text, kMaxFormattedBody + 1, format, args);
    if (body < 0)
        body = 0;
    // The body is cut so that the id always fits: a reply is matched by it.
    if (body > kMaxRequestBody)
        body = kMaxRequestBody;
    if (m_dwNextRequestId == 0)
        m_dwNextRequestId = 1;
    std::snprintf(text + body, sizeof text - static_cast<size_t>(body), "|%08x", m_dwNextRequestId);
    if (id)
        *id = m_dwNextRequestId;
    ++m_dwNextRequestId;
    return SendData(client, text, body + kIdSuffixLength);
}

bool MessageTransport::ComposeIntoFrameBuffer(const void* payload, int length) {
    if (length < 0)
        return false;
    try {
        m_FrameBuffer.resize(static_cast<size_t>(GetHeaderLength()) + static_cast<size_t>(length));
    } catch (const std::bad_alloc&) {
        return false;
    }
    ComposeFrame(m_FrameBuffer.data(), payload, length);
    return true;
}

TransportRequest* MessageTransport::SendData(TransportClient* client, const void* bytes, int length) {
    if (!client || !ComposeIntoFrameBuffer(bytes, length))
        return nullptr;
    std::unique_ptr<TransportRequest> request;
    try {
        request = std::make_unique<TransportRequest>();
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
    request->m_pClient = client;
    // Linked before the packet is added: the first transmission happens inside
    // AddPacket, and the request must already be whole by then.
    TransportRequest* handle = request.release();  // owned by the client's list
    client->m_lstRequests.PushBack(handle);
    handle->m_pPacket =
        m_Retransmitter.AddPacket(m_FrameBuffer.data(), static_cast<int>(m_FrameBuffer.size()), this);
    if (!handle->m_pPacket) {
        client->m_lstRequests.Remove(handle);
        std::unique_ptr<TransportRequest> owned(handle);
        return nullptr;
    }
    return handle;
}

BOOL MessageTransport::SendOnce(const void* bytes, int length) {
    if (!ComposeIntoFrameBuffer(bytes, length))
        return FALSE;
    return SendDatagram(m_FrameBuffer.data(), static_cast<int>(m_FrameBuffer.size()));
}

void MessageTransport::RemoveRequest(TransportRequest* request) {
    if (!request)
        return;
    request->m_pClient->m_lstRequests.Remove(request);
    m_Retransmitter.RemovePacket(request->m_pPacket);
    std::unique_ptr<TransportRequest> owned(request);
}

void MessageTransport::RemoveClientRequests(TransportClient* client) {
    if (!client)
        return;
    m_Retransmitter.LockTransmission(TRUE);
    while (TransportRequest* request = client->m_lstRequests.PopFront()) {
        m_Retransmitter.RemovePacket(request->m_pPacket);
        std::unique_ptr<TransportRequest> owned(request);
    }
    m_Retransmitter.LockTransmission(FALSE);
}

void MessageTransport::DispatchReceived(const char* text, int length) {
    FrameStack<TransportClient>::Frame frame(m_Dispatches);
    // An engine that starts anew from a completion this text fired has a new
    // client (appended): the text answered none of its requests.
    const uint64_t openedBefore = m_nClientSerial;
    for (TransportClient* client = m_lstClients.Front(); client; client = frame.next) {
        frame.next = decltype(m_lstClients)::Next(client);
        if (client->m_nSerial > openedBefore)
            continue;
        if (client->m_pfnReceive)
            client->m_pfnReceive(text, length, client->m_pUser);
        // A receive function may release the object that owns this transport.
        if (!frame.Alive())
            return;
    }
}

void MessageTransport::ComposeFrame(uint8_t* frame, const void* payload, int length) {
    if (length > 0)
        std::memcpy(frame, payload, static_cast<size_t>(length));
}

int MessageTransport::SendPacket(RetransmitterPacket*, void* user, const void* data, int length) {
    return static_cast<MessageTransport*>(user)->SendDatagram(data, length);
}

void MessageTransport::ExpirePacket(RetransmitterPacket* packet, void* user, const void* data, int length) {
    static_cast<MessageTransport*>(user)->OnRequestExpired(packet, data, length);
}

uint32_t MessageTransport::ParseReplyId(const char* text, int length) {
    if (!text || length <= 0)
        return 0;
    const char* bar = static_cast<const char*>(std::memchr(text, '|', static_cast<size_t>(length)));
    if (!bar)
        return 0;
    // strtoul on a bounded copy: the reply need not be zero-terminated at its
    // length. Values beyond 32 bits saturate, as a 32-bit strtoul does.
    char digits[24] = {};
    size_t n = 0;
    for (const char* p = bar + 1; p < text + length && n < sizeof digits - 1; ++p)
        digits[n++] = *p;
    unsigned long long value = std::strtoull(digits, nullptr, 16);
    return value > 0xFFFFFFFFull ? 0xFFFFFFFFu : static_cast<uint32_t>(value);
}

BOOL MessageTransport::ParseStatusField(const char* text, int length, OSKAN_PCODE_MACHINE_MODE* mode,
                                        int32_t* code) {
    if (!text || length < 7)
        return FALSE;
    auto isSet = [&](int i) { return text[i] != '*'; };
    OSKAN_PCODE_MACHINE_MODE parsed = isSet(1)   ? OPCM_MODE_FILE_ERROR
                                      : isSet(2) ? OPCM_MODE_RUNNING
                                      : isSet(3) ? OPCM_MODE_STOPPED_BUSY
                                                 : OPCM_MODE_STOPPED_IDLE;
    if (mode)
        *mode = parsed;
    if (code) {
        // Bounded copy: the reply need not be zero-terminated at its length.
        char digits[16] = {};
        int n = 0;
        for (int i = 5; i < length && n < static_cast<int>(sizeof digits) - 1; ++i)
            digits[n++] = text[i];
        *code = static_cast<int32_t>(std::strtol(digits, nullptr, 16));
    }
    return TRUE;
}

int MessageTransport::ParseMacText(const char* text, int length, uint8_t mac[6]) {
    if (!text || length <= 0)
        return 0;
    int count = 0;
    int pos = 0;
    while (pos < length && count < 6) {
        // atol rules within the length: leading spaces, a sign, then digits.
        int i = pos;
        while (i < length && (text[i] == ' ' || (text[i] >= '\t' && text[i] <= '\r')))
            ++i;
        bool negative = false;
        if (i < length && (text[i] == '+' || text[i] == '-'))
            negative = text[i++] == '-';
        unsigned long value = 0;
        while (i < length && text[i] >= '0' && text[i] <= '9')
            value = value * 10 + static_cast<unsigned>(text[i++] - '0');
        if (negative)
            value = 0 - value;
        if (mac)
            mac[count] = static_cast<uint8_t>(value & 0xFF);
        ++count;
        const char* dot =
            static_cast<const char*>(std::memchr(text + pos, '.', static_cast<size_t>(length - pos)));
        if (!dot)
            break;
        pos = static_cast<int>(dot - text) + 1;
    }
    return count;
}
