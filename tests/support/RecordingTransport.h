#pragma once
// A transport that records every frame instead of putting it on the wire, and
// lets the test hand it the device's replies. Beside the frames it keeps a
// timeline of sends and expiries ("S@ms", "E@ms" on the loop's clock), and it
// can put a header before every frame as a device transport puts its address.

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "common/MessageTransport.h"
#include "winport/loop/ServiceLoop.h"

namespace oskan::test {

class RecordingTransport : public MessageTransport {
public:
    std::vector<std::string> sent;
    std::vector<std::string> timeline;
    std::string header;

    // A reply from the device, offered to the open clients.
    void Reply(const std::string& text) { DispatchReceived(text.c_str(), static_cast<int>(text.size())); }
    const std::string& Last() const { return sent.back(); }

protected:
    BOOL SendDatagram(const void* bytes, int length) override {
        sent.emplace_back(static_cast<const char*>(bytes), static_cast<size_t>(length));
        timeline.push_back("S@" + std::to_string(winport::ServiceLoop::Current().NowMs()));
        return TRUE;
    }
    void OnRequestExpired(RetransmitterPacket*, const void*, int) override {
        timeline.push_back("E@" + std::to_string(winport::ServiceLoop::Current().NowMs()));
    }
    int GetHeaderLength() override { return static_cast<int>(header.size()); }
    void ComposeFrame(uint8_t* frame, const void* payload, int length) override {
        std::copy(header.begin(), header.end(), frame);
        MessageTransport::ComposeFrame(frame + header.size(), payload, length);
    }
};

}  // namespace oskan::test
