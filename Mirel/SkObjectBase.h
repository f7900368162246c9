#pragma once
// What every object of the component shares: a single-threaded reference
// count, and the IDispatch half of a dual interface.

#include "winport/com.h"
#include "winport/oleauto.h"

// Once it has reached 0 the count stays parked far from 0: events fired while
// the object is being destroyed take and drop references of their own, and must
// not destroy it a second time.
class SkRefCount {
public:
    static constexpr ULONG kDestroying = 0x40000000;

    ULONG Increment() { return ++m_nCount; }
    // The new count; *destroy tells the caller to delete the object now.
    ULONG Decrement(bool* destroy) {
        ULONG count = --m_nCount;
        *destroy = count == 0;
        if (*destroy) m_nCount = kDestroying;
        return count;
    }

private:
    ULONG m_nCount = 0;
};

// IDispatch of a dual interface. Late binding is served from the registered
// type library; without it every lookup fails as the type library's would,
// while calls through the vtable work.
template <class Interface>
class SkDualImpl : public Interface {
public:
    HRESULT GetTypeInfoCount(UINT* pctinfo) override {
        if (!pctinfo) return E_POINTER;
        *pctinfo = 1;
        return S_OK;
    }
    HRESULT GetTypeInfo(UINT, LCID, ITypeInfo** ppTInfo) override {
        if (!ppTInfo) return E_POINTER;
        *ppTInfo = nullptr;
        return TYPE_E_LIBNOTREGISTERED;
    }
    HRESULT GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return TYPE_E_LIBNOTREGISTERED; }
    HRESULT Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) override {
        return TYPE_E_LIBNOTREGISTERED;
    }

protected:
    ~SkDualImpl() = default;
};
