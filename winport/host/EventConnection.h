#pragma once
// Listens to one connection point of an event source for as long as it lives:
// finds the point of an event interface on the source, advises a sink, and
// unadvises when it goes (or on Disconnect).

#include "winport/com/ocidl.h"

namespace winport {

class EventConnection {
public:
    // The step that failed, or kNone.
    enum class Step { kNone, kQueryContainer, kFindConnectionPoint, kAdvise };

    EventConnection() = default;
    EventConnection(IUnknown* source, REFIID iid, IUnknown* sink);
    EventConnection(const EventConnection&) = delete;
    EventConnection& operator=(const EventConnection&) = delete;
    EventConnection(EventConnection&& other) noexcept;
    EventConnection& operator=(EventConnection&& other) noexcept;
    ~EventConnection() { Disconnect(); }

    bool Connected() const { return static_cast<bool>(m_point); }
    // S_OK when connected, else the HRESULT of the step that failed.
    HRESULT Result() const { return m_result; }
    Step FailedStep() const { return m_failedStep; }
    DWORD Cookie() const { return m_cookie; }

    // Unadvises now: Unadvise's HRESULT, S_FALSE when not connected.
    HRESULT Disconnect();

private:
    void Connect(IUnknown* source, REFIID iid, IUnknown* sink);
    void Fail(Step step, HRESULT hr);

    ComPtr<IConnectionPoint> m_point;
    DWORD m_cookie = 0;
    HRESULT m_result = S_FALSE;
    Step m_failedStep = Step::kNone;
};

}  // namespace winport
