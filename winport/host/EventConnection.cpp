#include "winport/host/EventConnection.h"

#include <utility>

namespace winport {

EventConnection::EventConnection(IUnknown* source, REFIID iid, IUnknown* sink) {
    Connect(source, iid, sink);
}

void EventConnection::Connect(IUnknown* source, REFIID iid, IUnknown* sink) {
    ComPtr<IConnectionPointContainer> container;
    if (!source)
        return Fail(Step::kQueryContainer, E_POINTER);
    HRESULT hr =
        source->QueryInterface(IID_IConnectionPointContainer, container.ReleaseAndGetVoidAddressOf());
    if (FAILED(hr))
        return Fail(Step::kQueryContainer, hr);
    ComPtr<IConnectionPoint> point;
    hr = container->FindConnectionPoint(iid, point.ReleaseAndGetAddressOf());
    if (FAILED(hr))
        return Fail(Step::kFindConnectionPoint, hr);
    hr = point->Advise(sink, &m_cookie);
    if (FAILED(hr))
        return Fail(Step::kAdvise, hr);
    m_point = std::move(point);
    m_result = S_OK;
}

void EventConnection::Fail(Step step, HRESULT hr) {
    m_failedStep = step;
    m_result = hr;
    m_cookie = 0;
}

EventConnection::EventConnection(EventConnection&& other) noexcept
    : m_point(std::move(other.m_point)),
      m_cookie(std::exchange(other.m_cookie, 0)),
      m_result(std::exchange(other.m_result, S_FALSE)),
      m_failedStep(std::exchange(other.m_failedStep, Step::kNone)) {}

EventConnection& EventConnection::operator=(EventConnection&& other) noexcept {
    if (this != &other) {
        Disconnect();
        m_point = std::move(other.m_point);
        m_cookie = std::exchange(other.m_cookie, 0);
        m_result = std::exchange(other.m_result, S_FALSE);
        m_failedStep = std::exchange(other.m_failedStep, Step::kNone);
    }
    return *this;
}

HRESULT EventConnection::Disconnect() {
    if (!m_point)
        return S_FALSE;
    // Let go of the point before calling out: a sink may be released, and its
    // release may reach back here.
    ComPtr<IConnectionPoint> point = std::move(m_point);
    const DWORD cookie = std::exchange(m_cookie, 0);
    return point->Unadvise(cookie);
}

}  // namespace winport
