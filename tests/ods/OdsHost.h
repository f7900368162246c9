#pragma once
// What the ods tests need as a host: objects created by ProgID through the
// build tree's registry, their events recorded, and the calls a host makes.

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "Mirel/MirelEvents.h"
#include "Mirel/MirelInterfaces.h"
#include "ods/OdsInterfaces.h"
#include "winport/com/objbase.h"
#include "winport/com/ocidl.h"
#include "winport/host/DispatchSink.h"

namespace oskan::test {

template <class T>
ComPtr<T> Query(IUnknown* object, REFIID iid) {
    ComPtr<T> result;
    if (object)
        object->QueryInterface(iid, result.ReleaseAndGetVoidAddressOf());
    return result;
}

// Created as a host creates it: CLSIDFromProgID, then CoCreateInstance.
template <class T>
ComPtr<T> CreateByProgId(const char16_t* progId, REFIID iid) {
    CLSID clsid{};
    ComPtr<T> object;
    EXPECT_EQ(CLSIDFromProgID(progId, &clsid), S_OK);
    EXPECT_EQ(
        CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, iid, object.ReleaseAndGetVoidAddressOf()),
        S_OK);
    return object;
}

struct Recorded {
    DISPID id;
    std::vector<LONG> ints;  // in declaration order
    std::vector<std::string> texts;
};

// A sink of one event interface that keeps every event; onEvent runs inside
// the call, after the event has been recorded.
class EventLog {
public:
    EventLog(IUnknown* source, REFIID events) {
        m_sink = winport::DispatchSink::Create(events, [this](DISPID id, const DISPPARAMS& p) {
            Recorded event{id, {}, {}};
            for (UINT i = 0; i < p.cArgs; ++i) {
                event.ints.push_back(winport::DispatchSink::IntArg(p, i));
                event.texts.push_back(winport::DispatchSink::TextArg(p, i));
            }
            m_events.push_back(event);
            if (onEvent)
                onEvent(m_events.back());
        });
        ComPtr<IConnectionPointContainer> container =
            Query<IConnectionPointContainer>(source, IID_IConnectionPointContainer);
        EXPECT_TRUE(container);
        if (!container)
            return;
        EXPECT_EQ(container->FindConnectionPoint(events, m_point.ReleaseAndGetAddressOf()), S_OK);
        EXPECT_EQ(m_point->Advise(m_sink.Get(), &m_cookie), S_OK);
    }
    ~EventLog() {
        if (m_point)
            m_point->Unadvise(m_cookie);
    }
    EventLog(const EventLog&) = delete;
    EventLog& operator=(const EventLog&) = delete;

    // Leaves the sink connected until the source goes (for a source released
    // from inside its own event).
    void KeepConnected() { m_point.Reset(); }
    const std::vector<Recorded>& Events() const { return m_events; }
    size_t Count(DISPID id) const {
        size_t count = 0;
        for (const Recorded& event : m_events)
            count += event.id == id;
        return count;
    }
    const Recorded* Last(DISPID id) const {
        for (auto it = m_events.rbegin(); it != m_events.rend(); ++it)
            if (it->id == id)
                return &*it;
        return nullptr;
    }

    std::function<void(const Recorded&)> onEvent;

private:
    ComPtr<winport::DispatchSink> m_sink;
    ComPtr<IConnectionPoint> m_point;
    DWORD m_cookie = 0;
    std::vector<Recorded> m_events;
};

inline HRESULT PutAddress(ISkConnection* device, const std::string& address) {
    BSTR text = winport::AnsiToBstr(address.c_str());
    HRESULT hr = device->put_Address(text);
    SysFreeString(text);
    return hr;
}

inline HRESULT SendCommand(ISkCmdTarget* target, const std::string& command, LONG lParam = 0) {
    BSTR text = winport::AnsiToBstr(command.c_str());
    HRESULT hr = target->Command(text, lParam);
    SysFreeString(text);
    return hr;
}

inline HRESULT LoadFile(ISkLoader* loader, const std::string& file, int flags) {
    BSTR text = winport::AnsiToBstr(file.c_str());
    HRESULT hr = loader->Load(text, flags);
    SysFreeString(text);
    return hr;
}

inline std::string Text(HRESULT (IFixedFirmwareDeviceInfo::*get)(BSTR*), IFixedFirmwareDeviceInfo* info) {
    BSTR value = nullptr;
    EXPECT_EQ((info->*get)(&value), S_OK);
    std::string text = winport::Utf16ToAnsi(winport::BstrToU16(value));
    SysFreeString(value);
    return text;
}

inline LONG Number(HRESULT (IFixedFirmwareDeviceInfo::*get)(LONG*), IFixedFirmwareDeviceInfo* info) {
    LONG value = -99;
    EXPECT_EQ((info->*get)(&value), S_OK);
    return value;
}

}  // namespace oskan::test
