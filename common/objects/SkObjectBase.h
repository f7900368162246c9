#pragma once
// What every object of the component shares: a single-threaded reference
// count, a lock on the library for the object's life, the IDispatch half of a
// dual interface, and the identity of an object that can be aggregated.

#include "common/objects/SkComponentModule.h"
#include "common/objects/SkDispatch.h"
#include "winport/automation/oleauto.h"
#include "winport/com/com.h"

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
        if (*destroy)
            m_nCount = kDestroying;
        return count;
    }

private:
    ULONG m_nCount = 0;
};

// A lock on the library from construction to destruction, so that the library
// is not unloaded while the object lives.
class SkModuleLock {
protected:
    SkModuleLock() { SkComponentModule().Lock(); }
    SkModuleLock(const SkModuleLock&) = delete;
    SkModuleLock& operator=(const SkModuleLock&) = delete;
    ~SkModuleLock() { SkComponentModule().Unlock(); }
};

// IDispatch of a dual interface. Late binding is served from the registered
// type library; without it every lookup fails as the type library's would,
// while calls through the vtable work. The parts of an object use it as it is.
template <class Interface>
class SkDispatchImpl : public Interface {
public:
    HRESULT GetTypeInfoCount(UINT* pctinfo) override { return SkDispatchGetTypeInfoCount(pctinfo); }
    HRESULT GetTypeInfo(UINT iTInfo, LCID lcid, ITypeInfo** ppTInfo) override {
        return SkDispatchGetTypeInfo(SkInterfaceId<Interface>::value, iTInfo, lcid, ppTInfo);
    }
    HRESULT GetIDsOfNames(REFIID riid, LPOLESTR* rgszNames, UINT cNames, LCID lcid,
                          DISPID* rgDispId) override {
        return SkDispatchGetIDsOfNames(SkInterfaceId<Interface>::value, riid, rgszNames, cNames, lcid,
                                       rgDispId);
    }
    HRESULT Invoke(DISPID dispIdMember, REFIID riid, LCID lcid, WORD wFlags, DISPPARAMS* pDispParams,
                   VARIANT* pVarResult, EXCEPINFO* pExcepInfo, UINT* puArgErr) override {
        return SkDispatchInvoke(SkInterfaceId<Interface>::value, static_cast<Interface*>(this), dispIdMember,
                                riid, lcid, wFlags, pDispParams, pVarResult, pExcepInfo, puArgErr);
    }

protected:
    SkDispatchImpl() = default;
    ~SkDispatchImpl() = default;
};

// An object's dual interface: its IDispatch, and the object's lock on the
// library. Every object with a dual interface derives from it first.
template <class Interface>
class SkDualImpl : public SkDispatchImpl<Interface>, private SkModuleLock {
protected:
    SkDualImpl() = default;
    ~SkDualImpl() = default;
};

// Identity and lifetime of an object that a class object creates and that an
// outer object may aggregate. The object forwards its IUnknown methods here.
// Not aggregated, they act on the object itself: its interface map (its
// InternalQueryInterface) and its count. Aggregated, they go to the outer
// object, which holds the inner unknown, whose methods act on the object.
// Once the object's count has run out its calls stay with the object, so that
// events fired while it is destroyed do not reach an outer object that may be
// in its own destruction.
//
// T names SkAggregation<T> a friend and declares it as its first member, so
// that it outlives everything the destructor does.
template <class T>
class SkAggregation {
public:
    explicit SkAggregation(T* owner) : m_Inner(this), m_pOwner(owner) {}
    SkAggregation(const SkAggregation&) = delete;
    SkAggregation& operator=(const SkAggregation&) = delete;

    HRESULT QueryInterface(REFIID riid, void** ppv) {
        return m_pOuter ? m_pOuter->QueryInterface(riid, ppv) : m_pOwner->InternalQueryInterface(riid, ppv);
    }
    ULONG AddRef() { return m_pOuter ? m_pOuter->AddRef() : m_Count.Increment(); }
    ULONG Release() { return m_pOuter ? m_pOuter->Release() : InternalRelease(); }
    bool IsAggregated() const { return m_pOuter != nullptr; }

    // Hands a new object to its creator: queried for riid; or, with an outer
    // object (riid is then IID_IUnknown), its inner unknown.
    HRESULT Create(IUnknown* outer, REFIID riid, void** ppv) {
        if (outer) {
            m_pOuter = outer;
            m_Inner.AddRef();
            *ppv = static_cast<IUnknown*>(&m_Inner);
            return S_OK;
        }
        m_Count.Increment();
        HRESULT hr = m_pOwner->InternalQueryInterface(riid, ppv);
        InternalRelease();
        return hr;
    }

private:
    class Inner final : public IUnknown {
    public:
        explicit Inner(SkAggregation* aggregation) : m_pAggregation(aggregation) {}
        HRESULT QueryInterface(REFIID riid, void** ppv) override {
            if (!ppv)
                return E_POINTER;
            if (riid != IID_IUnknown)
                return m_pAggregation->m_pOwner->InternalQueryInterface(riid, ppv);
            *ppv = static_cast<IUnknown*>(this);
            AddRef();
            return S_OK;
        }
        ULONG AddRef() override { return m_pAggregation->m_Count.Increment(); }
        ULONG Release() override { return m_pAggregation->InternalRelease(); }

    private:
        SkAggregation* m_pAggregation;
    };

    ULONG InternalRelease() {
        bool destroy = false;
        ULONG count = m_Count.Decrement(&destroy);
        if (destroy) {
            m_pOuter = nullptr;
            delete m_pOwner;
        }
        return count;
    }

    Inner m_Inner;
    T* m_pOwner;
    IUnknown* m_pOuter = nullptr;
    SkRefCount m_Count;
};
