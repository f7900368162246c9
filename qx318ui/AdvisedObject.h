#pragma once
// One object of the Device Explorer (a discovery object, or the running
// action's command target, loader or connection) together with the dispatch
// sink advised on one of its event interfaces. Release unadvises first, so
// that nothing the object fires while it goes reaches the window.

#include <utility>

#include "winport/host/DispatchSink.h"
#include "winport/host/EventConnection.h"

namespace qx318ui {

template <class Interface>
class AdvisedObject {
public:
    explicit operator bool() const { return static_cast<bool>(m_object); }
    Interface* Get() const { return m_object.Get(); }
    // A reference of the caller's own, for calls whose events may release this one.
    ComPtr<Interface> Hold() const { return m_object; }

    // Takes the object and advises a sink calling handler on its eventIid
    // interface; on failure nothing is kept and the advise's HRESULT returned.
    HRESULT Advise(ComPtr<Interface> object, REFIID eventIid, winport::DispatchSink::Handler handler) {
        Release();
        auto sink = winport::DispatchSink::Create(eventIid, std::move(handler));
        winport::EventConnection events(object.Get(), eventIid, sink.Get());
        if (!events.Connected())
            return FAILED(events.Result()) ? events.Result() : E_FAIL;
        m_object = std::move(object);
        m_sink = std::move(sink);
        m_events = std::move(events);
        return S_OK;
    }

    void Release() {
        // Detached before the last reference goes: the object may fire from its destructor.
        ComPtr<Interface> object = std::move(m_object);
        m_events.Disconnect();
        m_sink.Reset();
        object.Reset();
    }

private:
    ComPtr<Interface> m_object;
    ComPtr<winport::DispatchSink> m_sink;
    winport::EventConnection m_events;
};

}  // namespace qx318ui
