#pragma once
// The COM half of a host's sink for one custom event interface: reference
// counting and a QueryInterface that answers IUnknown and the event interface.
// Derived starts with one reference (adopt it with ComPtr::Attach), declares
// SinkObject a friend, and keeps its destructor private.

#include "winport/com/com.h"

namespace winport {

template <class Derived, class Interface, const IID& kEventIid>
class SinkObject : public Interface {
public:
    HRESULT QueryInterface(REFIID riid, void** ppv) override {
        if (!ppv)
            return E_POINTER;
        if (riid == IID_IUnknown || riid == kEventIid) {
            *ppv = static_cast<Interface*>(this);
            AddRef();
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    ULONG AddRef() override { return ++m_refs; }
    ULONG Release() override {
        ULONG count = --m_refs;
        if (count == 0)
            delete static_cast<Derived*>(this);
        return count;
    }

protected:
    SinkObject() = default;
    ~SinkObject() = default;

private:
    ULONG m_refs = 1;
};

}  // namespace winport
