#pragma once
// A connection point of an event source object: the sinks connected for one
// event interface, in slots.
//
// The connection point is a part of its owner object: it lives inside the
// object, its AddRef and Release act on the object's count, and its
// QueryInterface answers only IConnectionPoint and IUnknown.
//
// The sink array is empty; or one sink held directly; or, from the second sink
// on, a table of slots that starts with 4 slots and doubles whenever a sink is
// added to a full table. Advise fills the lowest empty slot; Unadvise empties
// a slot; the table never shrinks. A slot keeps the interface pointer the sink
// answered for the event IID, with one reference.
//
// Cookies: a cookie cannot be the sink pointer itself, since a pointer does
// not fit the 32-bit cookie. Each connection gets the next value of a counter
// of its connection point instead, stored beside the sink in its slot; it is
// never 0 and unique among the connection point's live connections, so a
// cookie names exactly one connection, and a stale cookie names none (even
// when the same sink is connected again, or twice).
//
// Firing (ForEachSink and the helpers of SkEventFiring.h) keeps the owner
// alive with a reference of its own for the whole walk, so a sink may release
// the last outside reference to the source from inside an event. The owner's
// Release must therefore tolerate an AddRef/Release pair while the object is
// being destroyed (its count held away from 0 during destruction), so that
// events fired from the destruction path reach the sinks still connected.
// When the walk ends the owner may be gone: firing code that goes on working
// afterwards must hold a reference of its own.

#include <cstddef>

#include "winport/com/com.h"
#include "winport/com/ocidl.h"

class SkConnectionPoint final : public IConnectionPoint {
public:
    static constexpr size_t kFirstTableSlots = 4;
    // The largest table a connection point grows to by default.
    static constexpr size_t kDefaultMaxSlots = size_t{1} << 28;

    // `owner` is the object this connection point is part of (any of its
    // interfaces); it is not counted. `maxSlots` bounds the sink array: an
    // Advise that would need more slots fails with CONNECT_E_ADVISELIMIT.
    SkConnectionPoint(IUnknown* owner, REFIID iid, size_t maxSlots = kDefaultMaxSlots);
    SkConnectionPoint(const SkConnectionPoint&) = delete;
    SkConnectionPoint& operator=(const SkConnectionPoint&) = delete;
    // Releases every sink still connected.
    ~SkConnectionPoint();

    // IUnknown
    HRESULT QueryInterface(REFIID riid, void** ppvObject) override;
    ULONG AddRef() override;
    ULONG Release() override;

    // IConnectionPoint
    HRESULT GetConnectionInterface(IID* pIID) override;
    HRESULT GetConnectionPointContainer(IConnectionPointContainer** ppCPC) override;
    HRESULT Advise(IUnknown* pUnkSink, DWORD* pdwCookie) override;
    HRESULT Unadvise(DWORD dwCookie) override;
    HRESULT EnumConnections(IEnumConnections** ppEnum) override;

    REFIID Iid() const { return m_iid; }
    IUnknown* Owner() const { return m_pOwner; }

    // The number of slots: 0 (empty), 1 (one sink held directly) or the size of
    // the table.
    size_t SlotCount() const { return m_nSlots; }
    // The sink in a slot below SlotCount(), null for an empty slot.
    IUnknown* SinkAt(size_t slot) const { return SlotAt(slot).pUnk; }
    DWORD CookieAt(size_t slot) const { return SlotAt(slot).dwCookie; }
    // The number of occupied slots.
    size_t ConnectionCount() const;

    // Calls fn(sink) for the sinks in slot order, as events are delivered: the
    // slot count is read once at the start; an empty slot is skipped; each sink
    // is held by a reference of its own during its call; the owner is held
    // during the whole walk. A sink connected during the walk is called only
    // when it lands in a slot that the walk has yet to reach and that lies
    // below the count read at the start; a sink disconnected during the walk
    // is not called once its slot is empty. fn must not throw.
    template <class Fn>
    void ForEachSink(Fn&& fn);

private:
    struct Slot {
        IUnknown* pUnk;
        DWORD dwCookie;
    };

    const Slot& SlotAt(size_t slot) const { return m_nSlots == 1 ? m_single : m_pTable[slot]; }
    Slot& SlotAt(size_t slot) { return m_nSlots == 1 ? m_single : m_pTable[slot]; }
    // Puts the sink into the lowest empty slot, growing the array when it is
    // full; false when it cannot grow.
    bool AddSink(IUnknown* sink, DWORD cookie);
    DWORD NextCookie();
    bool CookieInUse(DWORD cookie) const;

    IUnknown* const m_pOwner;
    const IID m_iid;
    const size_t m_maxSlots;
    size_t m_nSlots = 0;
    Slot m_single = {nullptr, 0};
    Slot* m_pTable = nullptr;
    DWORD m_dwNextCookie = 1;
    bool m_bCookiesWrapped = false;
};

template <class Fn>
void SkConnectionPoint::ForEachSink(Fn&& fn) {
    // Held locally: releasing it at the end may destroy the owner, and this
    // connection point with it.
    ComPtr<IUnknown> owner(m_pOwner);
    const size_t count = m_nSlots;
    for (size_t slot = 0; slot < count; ++slot) {
        ComPtr<IUnknown> sink(SinkAt(slot));
        if (sink) {
            fn(sink.Get());
        }
    }
}
