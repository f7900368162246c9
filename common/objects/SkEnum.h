#pragma once
// The enumerators of connection points and of connections: a snapshot of
// items, each holding a reference, handed out with a new reference per item.
// Clones share the snapshot and start at the clone's position. Each
// enumerator holds a lock on the library: its code lives there.

#include <memory>
#include <new>
#include <vector>

#include "common/objects/SkObjectBase.h"
#include "winport/com/com.h"
#include "winport/com/ocidl.h"

// What an item's reference is: AddRef/Release of the interface it holds.
struct SkEnumConnectionPolicy {
    static void AddRef(const CONNECTDATA& item) {
        if (item.pUnk) {
            item.pUnk->AddRef();
        }
    }
    static void Release(const CONNECTDATA& item) {
        if (item.pUnk) {
            item.pUnk->Release();
        }
    }
};

struct SkEnumInterfacePolicy {
    template <class T>
    static void AddRef(T* item) {
        if (item) {
            item->AddRef();
        }
    }
    template <class T>
    static void Release(T* item) {
        if (item) {
            item->Release();
        }
    }
};

template <class Base, const IID* piid, class Item, class Policy>
class SkEnum final : public Base, private SkModuleLock {
public:
    // The items the enumerator hands out, with one reference each, and an
    // optional reference to the object they belong to.
    class Snapshot {
    public:
        Snapshot() = default;
        Snapshot(const Snapshot&) = delete;
        Snapshot& operator=(const Snapshot&) = delete;
        ~Snapshot() {
            for (const Item& item : m_items) {
                Policy::Release(item);
            }
        }

        ComPtr<IUnknown> m_owner;
        std::vector<Item> m_items;
    };

    // Builds the enumerator over copies of the items (each gains a reference),
    // holding `owner` (may be null). E_OUTOFMEMORY when it cannot be built.
    static HRESULT Create(const Item* items, size_t count, IUnknown* owner, Base** ppEnum) {
        if (ppEnum == nullptr) {
            return E_POINTER;
        }
        *ppEnum = nullptr;
        std::shared_ptr<Snapshot> snapshot;
        try {
            snapshot = std::make_shared<Snapshot>();
            snapshot->m_items.reserve(count);
        } catch (const std::bad_alloc&) {
            return E_OUTOFMEMORY;
        }
        snapshot->m_owner = owner;
        for (size_t i = 0; i < count; ++i) {
            Policy::AddRef(items[i]);
            snapshot->m_items.push_back(items[i]);
        }
        return CreateOver(std::move(snapshot), 0, ppEnum);
    }

    // IUnknown
    HRESULT QueryInterface(REFIID riid, void** ppvObject) override {
        if (ppvObject == nullptr) {
            return E_POINTER;
        }
        if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, *piid)) {
            *ppvObject = static_cast<Base*>(this);
            AddRef();
            return S_OK;
        }
        *ppvObject = nullptr;
        return E_NOINTERFACE;
    }
    ULONG AddRef() override { return ++m_cRef; }
    ULONG Release() override {
        const ULONG count = --m_cRef;
        if (count == 0) {
            delete this;
        }
        return count;
    }

    // IEnumXxx
    HRESULT Next(ULONG celt, Item* rgelt, ULONG* pceltFetched) override {
        if (pceltFetched != nullptr) {
            *pceltFetched = 0;
        }
        if (celt == 0) {
            return E_INVALIDARG;
        }
        if (rgelt == nullptr || (celt != 1 && pceltFetched == nullptr)) {
            return E_POINTER;
        }
        const std::vector<Item>& items = m_snapshot->m_items;
        const size_t remaining = items.size() - m_position;
        const ULONG fetched = celt < remaining ? celt : static_cast<ULONG>(remaining);
        for (ULONG i = 0; i < fetched; ++i) {
            rgelt[i] = items[m_position++];
            Policy::AddRef(rgelt[i]);
        }
        if (pceltFetched != nullptr) {
            *pceltFetched = fetched;
        }
        return fetched == celt ? S_OK : S_FALSE;
    }
    HRESULT Skip(ULONG celt) override {
        if (celt == 0) {
            return E_INVALIDARG;
        }
        const size_t remaining = m_snapshot->m_items.size() - m_position;
        const size_t skipped = celt < remaining ? celt : remaining;
        m_position += skipped;
        return skipped == celt ? S_OK : S_FALSE;
    }
    HRESULT Reset() override {
        m_position = 0;
        return S_OK;
    }
    HRESULT Clone(Base** ppEnum) override { return CreateOver(m_snapshot, m_position, ppEnum); }

private:
    SkEnum(std::shared_ptr<Snapshot> snapshot, size_t position)
        : m_snapshot(std::move(snapshot)), m_position(position) {}
    ~SkEnum() = default;

    static HRESULT CreateOver(std::shared_ptr<Snapshot> snapshot, size_t position, Base** ppEnum) {
        if (ppEnum == nullptr) {
            return E_POINTER;
        }
        *ppEnum = nullptr;
        auto* created = new (std::nothrow) SkEnum(std::move(snapshot), position);
        if (created == nullptr) {
            return E_OUTOFMEMORY;
        }
        *ppEnum = created;
        return S_OK;
    }

    ULONG m_cRef = 1;
    const std::shared_ptr<Snapshot> m_snapshot;
    size_t m_position;
};

using SkEnumConnections =
    SkEnum<IEnumConnections, &IID_IEnumConnections, CONNECTDATA, SkEnumConnectionPolicy>;
using SkEnumConnectionPoints =
    SkEnum<IEnumConnectionPoints, &IID_IEnumConnectionPoints, IConnectionPoint*, SkEnumInterfacePolicy>;
