#pragma once
// A sink advised on a source's connection point for one event interface,
// with nothing held afterwards: the sink stays connected until it is
// unadvised or the source goes, and the test keeps no reference that would
// keep the source alive (winport::EventConnection holds the point, and with
// it the source, until it goes).

#include "winport/com/com.h"
#include "winport/com/ocidl.h"

namespace oskan::test {

namespace detail {
inline HRESULT FindPoint(IUnknown* source, REFIID iid, ComPtr<IConnectionPoint>* point) {
    ComPtr<IConnectionPointContainer> container;
    HRESULT hr =
        source->QueryInterface(IID_IConnectionPointContainer, container.ReleaseAndGetVoidAddressOf());
    return SUCCEEDED(hr) ? container->FindConnectionPoint(iid, point->ReleaseAndGetAddressOf()) : hr;
}
}  // namespace detail

// The HRESULT of the first step that failed, else of Advise.
inline HRESULT Advise(IUnknown* source, REFIID iid, IUnknown* sink, DWORD* cookie = nullptr) {
    DWORD ignored = 0;
    ComPtr<IConnectionPoint> point;
    HRESULT hr = detail::FindPoint(source, iid, &point);
    return SUCCEEDED(hr) ? point->Advise(sink, cookie ? cookie : &ignored) : hr;
}

inline HRESULT Unadvise(IUnknown* source, REFIID iid, DWORD cookie) {
    ComPtr<IConnectionPoint> point;
    HRESULT hr = detail::FindPoint(source, iid, &point);
    return SUCCEEDED(hr) ? point->Unadvise(cookie) : hr;
}

}  // namespace oskan::test
