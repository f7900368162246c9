#pragma once
// A sink of the debugger's events that keeps a copy of everything they carry.

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "Mirel/MirelEvents.h"
#include "winport/automation/oleauto.h"
#include "winport/com/com.h"
#include "winport/host/SinkObject.h"

namespace oskan::test {

// One debugger event as text, with a copy of what it carried.
struct DebugEvent {
    std::string text;  // "KeepAlive", "Progress 50", "Command 1223 Operation cancelled", ...
    std::vector<uint8_t> data;
    bool nullData = true;
};

class RecordingDebugSink final
    : public winport::SinkObject<RecordingDebugSink, _ISkDebuggeeEvents, IID__ISkDebuggeeEvents> {
public:
    static ComPtr<RecordingDebugSink> Create() {
        ComPtr<RecordingDebugSink> sink;
        sink.Attach(new RecordingDebugSink());
        return sink;
    }

    HRESULT OnKeepAlive() override { return Record("KeepAlive"); }
    HRESULT OnPCodeMachineStateChange() override { return Record("StateChange"); }
    HRESULT OnMemoryProgress(int nPercentage) override {
        return Record("Progress " + std::to_string(nPercentage));
    }
    HRESULT OnError(LONG lError, const OLECHAR* details) override {
        return Record("Error " + Hex(lError) + " " + winport::Utf16ToAnsi(details));
    }
    HRESULT OnDebugCommandComplete(LONG lError, const OLECHAR* details) override {
        return Record("Command " + std::to_string(lError) + " " + winport::Utf16ToAnsi(details));
    }
    HRESULT OnReadMemoryComplete(LONG lError, const OLECHAR* details, ULONG dwAddress, ULONG dwLength,
                                 void* pvData, LONG lParam) override {
        DebugEvent event;
        event.text = "Read " + std::to_string(lError) + " " + winport::Utf16ToAnsi(details) + " @" +
                     Hex(dwAddress) + " len " + std::to_string(dwLength) + " #" + std::to_string(lParam);
        event.nullData = pvData == nullptr;
        if (pvData)
            event.data.assign(static_cast<uint8_t*>(pvData), static_cast<uint8_t*>(pvData) + dwLength);
        return Record(std::move(event));
    }

    std::vector<std::string> Texts() const {
        std::vector<std::string> texts;
        for (const DebugEvent& event : events)
            texts.push_back(event.text);
        return texts;
    }
    // The events other than OnKeepAlive, which every datagram fires.
    std::vector<std::string> Outcomes() const {
        std::vector<std::string> texts;
        for (const DebugEvent& event : events)
            if (event.text != "KeepAlive")
                texts.push_back(event.text);
        return texts;
    }
    // The last OnReadMemoryComplete.
    const DebugEvent& LastRead() const {
        static const DebugEvent none;
        for (auto it = events.rbegin(); it != events.rend(); ++it)
            if (it->text.rfind("Read", 0) == 0)
                return *it;
        return none;
    }
    size_t Count(const std::string& text) const {
        size_t n = 0;
        for (const DebugEvent& event : events)
            n += event.text == text;
        return n;
    }

    std::vector<DebugEvent> events;
    // Runs inside every event after it has been recorded.
    std::function<void(const DebugEvent& event)> onEvent;

private:
    friend class winport::SinkObject<RecordingDebugSink, _ISkDebuggeeEvents, IID__ISkDebuggeeEvents>;
    RecordingDebugSink() = default;
    ~RecordingDebugSink() = default;

    static std::string Hex(uint32_t value) {
        char text[16];
        std::snprintf(text, sizeof text, "%x", value);
        return text;
    }
    HRESULT Record(std::string text) {
        DebugEvent event;
        event.text = std::move(text);
        return Record(std::move(event));
    }
    HRESULT Record(DebugEvent event) {
        events.push_back(event);
        // A copy: the handler may cause events that move the list.
        if (onEvent)
            onEvent(event);
        return S_OK;
    }
};

}  // namespace oskan::test
