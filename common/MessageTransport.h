#pragma once
// The layer between a device object's engines and its socket: frames every
// outgoing message, hands it to the retransmitter until the engine that sent it
// removes it, numbers text requests with an id the device echoes, and offers
// every incoming message to every engine.

#include <cstdarg>
#include <cstdint>
#include <vector>

#include "Mirel/MirelTypes.h"  // OSKAN_PCODE_MACHINE_MODE
#include "common/AliveGuard.h"
#include "common/IntrusiveList.h"
#include "common/Retransmitter.h"

class MessageTransport;
struct TransportClient;

struct TransportRequest {
    ListLink<TransportRequest> m_Link;  // in the client's list
    TransportClient* m_pClient = nullptr;
    RetransmitterPacket* m_pPacket = nullptr;
};

struct TransportClient {
    using ReceiveFunction = void (*)(const char* text, int length, void* user);

    ListLink<TransportClient> m_Link;                                          // in the transport's list
    uint64_t m_nSerial = 0;                                                    // in order of opening
    IntrusiveList<TransportRequest, &TransportRequest::m_Link> m_lstRequests;  // in order of sending
    ReceiveFunction m_pfnReceive = nullptr;
    void* m_pUser = nullptr;
};

class MessageTransport {
public:
    // Text requests: body (cut to fit) + "|%08x" id; the whole request text
    // fits this buffer with its terminating zero.
    static constexpr int kRequestBufferSize = 268;
    static constexpr int kMaxFormattedBody = 260;
    static constexpr int kIdSuffixLength = 9;                                         // "|%08x"
    static constexpr int kMaxRequestBody = kRequestBufferSize - 1 - kIdSuffixLength;  // 258

    MessageTransport();
    MessageTransport(const MessageTransport&) = delete;
    MessageTransport& operator=(const MessageTransport&) = delete;
    virtual ~MessageTransport();

    TransportClient* OpenClient(TransportClient::ReceiveFunction receive, void* user);
    void CloseClient(TransportClient* client);

    // Formats the body (printf rules), appends the next request id and sends it.
    // Null when the request cannot be queued.
    TransportRequest* SendRequest(TransportClient* client, uint32_t* id, const char* format, ...)
        __attribute__((format(printf, 4, 5)));
    TransportRequest* SendRequestV(TransportClient* client, uint32_t* id, const char* format, va_list args);
    // Sends the bytes as they are, without id, retransmitting until removed.
    TransportRequest* SendData(TransportClient* client, const void* bytes, int length);
    // Sends one frame once, outside the retransmitter (even while it is locked
    // or its window is full).
    BOOL SendOnce(const void* bytes, int length);
    void RemoveRequest(TransportRequest* request);
    void RemoveClientRequests(TransportClient* client);
    // Offers a received reply text (zero-terminated after length) to every client.
    void DispatchReceived(const char* text, int length);

    static uint32_t ParseReplyId(const char* text, int length);
    // The status field that opens a state reply: a status letter, three flags
    // ("*" = not set), a separator and a hexadecimal code, e.g. "AERB/00".
    static BOOL ParseStatusField(const char* text, int length, OSKAN_PCODE_MACHINE_MODE* mode, int32_t* code);
    static int ParseMacText(const char* text, int length, uint8_t mac[6]);

    uint32_t NextRequestId() const { return m_dwNextRequestId; }
    void SetNextRequestId(uint32_t id) { m_dwNextRequestId = id; }
    Retransmitter& GetRetransmitter() { return m_Retransmitter; }
    size_t ClientCount() const { return m_lstClients.Size(); }

protected:
    virtual BOOL SendDatagram(const void* bytes, int length) = 0;
    virtual int GetHeaderLength() { return 0; }
    virtual void ComposeFrame(uint8_t* frame, const void* payload, int length);
    virtual void OnRequestExpired(RetransmitterPacket*, const void*, int) {}

private:
    static int SendPacket(RetransmitterPacket* packet, void* user, const void* data, int length);
    static void ExpirePacket(RetransmitterPacket* packet, void* user, const void* data, int length);
    bool ComposeIntoFrameBuffer(const void* payload, int length);
    void FreeRequest(TransportRequest* request);

    RetransmitterConfig m_Config;
    Retransmitter m_Retransmitter;
    IntrusiveList<TransportClient, &TransportClient::m_Link> m_lstClients;
    uint32_t m_dwNextRequestId;
    std::vector<uint8_t> m_FrameBuffer;
    // One frame per running DispatchReceived (they nest when a receive function
    // runs the loop): a client closed from a receive function does not break
    // the walk, and a transport destroyed there is not touched again.
    FrameStack<TransportClient> m_Dispatches;
    uint64_t m_nClientSerial = 0;
};
