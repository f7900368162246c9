#include "common/objects/SkConnectionPoint.h"

#include <cstdlib>
#include <new>
#include <vector>

#include "common/objects/SkEnum.h"

SkConnectionPoint::SkConnectionPoint(IUnknown* owner, REFIID iid, size_t maxSlots)
    : m_pOwner(owner), m_iid(iid), m_maxSlots(maxSlots) {}

SkConnectionPoint::~SkConnectionPoint() {
    // Take the sinks out of the array before releasing them, so that a sink's
    // Release finds nothing half-dismantled.
    Slot* table = m_pTable;
    const size_t count = m_nSlots;
    const Slot single = m_single;
    m_pTable = nullptr;
    m_nSlots = 0;
    m_single = {nullptr, 0};
    if (count == 1) {
        if (single.pUnk) {
            single.pUnk->Release();
        }
    } else {
        for (size_t i = 0; i < count; ++i) {
            if (table[i].pUnk) {
                table[i].pUnk->Release();
            }
        }
    }
    std::free(table);
}

HRESULT SkConnectionPoint::QueryInterface(REFIID riid, void** ppvObject) {
    if (ppvObject == nullptr) {
        return E_POINTER;
    }
    if (IsEqualIID(riid, IID_IConnectionPoint) || IsEqualIID(riid, IID_IUnknown)) {
        *ppvObject = static_cast<IConnectionPoint*>(this);
        AddRef();
        return S_OK;
    }
    *ppvObject = nullptr;
    return E_NOINTERFACE;
}

ULONG SkConnectionPoint::AddRef() {
    return m_pOwner->AddRef();
}

ULONG SkConnectionPoint::Release() {
    return m_pOwner->Release();
}

HRESULT SkConnectionPoint::GetConnectionInterface(IID* pIID) {
    if (pIID == nullptr) {
        return E_POINTER;
    }
    *pIID = m_iid;
    return S_OK;
}

HRESULT SkConnectionPoint::GetConnectionPointContainer(IConnectionPointContainer** ppCPC) {
    if (ppCPC == nullptr) {
        return E_POINTER;
    }
    *ppCPC = nullptr;
    return m_pOwner->QueryInterface(IID_IConnectionPointContainer, reinterpret_cast<void**>(ppCPC));
}

HRESULT SkConnectionPoint::Advise(IUnknown* pUnkSink, DWORD* pdwCookie) {
    if (pdwCookie != nullptr) {
        *pdwCookie = 0;
    }
    if (pUnkSink == nullptr || pdwCookie == nullptr) {
        return E_POINTER;
    }
    void* pv = nullptr;
    const HRESULT hr = pUnkSink->QueryInterface(m_iid, &pv);
    if (hr == E_NOINTERFACE) {
        return CONNECT_E_CANNOTCONNECT;
    }
    if (FAILED(hr)) {
        return hr;
    }
    if (pv == nullptr) {
        return CONNECT_E_CANNOTCONNECT;
    }
    // The interface answered for the event IID is what gets called; it is kept
    // as an IUnknown (every interface starts with IUnknown's slots).
    IUnknown* sink = static_cast<IUnknown*>(pv);
    const DWORD cookie = NextCookie();
    if (!AddSink(sink, cookie)) {
        sink->Release();
        return CONNECT_E_ADVISELIMIT;
    }
    *pdwCookie = cookie;
    return S_OK;
}

HRESULT SkConnectionPoint::Unadvise(DWORD dwCookie) {
    if (dwCookie != 0) {
        for (size_t i = 0; i < m_nSlots; ++i) {
            Slot& slot = SlotAt(i);
            if (slot.pUnk != nullptr && slot.dwCookie == dwCookie) {
                // Empty the slot first: the sink's Release may call back.
                IUnknown* sink = slot.pUnk;
                slot = {nullptr, 0};
                sink->Release();
                return S_OK;
            }
        }
    }
    return CONNECT_E_NOCONNECTION;
}

HRESULT SkConnectionPoint::EnumConnections(IEnumConnections** ppEnum) {
    if (ppEnum == nullptr) {
        return E_POINTER;
    }
    *ppEnum = nullptr;
    std::vector<CONNECTDATA> connections;
    try {
        connections.reserve(ConnectionCount());
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
    for (size_t i = 0; i < m_nSlots; ++i) {
        const Slot& slot = SlotAt(i);
        if (slot.pUnk != nullptr) {
            connections.push_back({slot.pUnk, slot.dwCookie});
        }
    }
    return SkEnumConnections::Create(connections.data(), connections.size(), nullptr, ppEnum);
}

size_t SkConnectionPoint::ConnectionCount() const {
    size_t count = 0;
    for (size_t i = 0; i < m_nSlots; ++i) {
        if (SinkAt(i) != nullptr) {
            ++count;
        }
    }
    return count;
}

bool SkConnectionPoint::AddSink(IUnknown* sink, DWORD cookie) {
    if (m_nSlots == 0) {
        if (m_maxSlots < 1) {
            return false;
        }
        m_single = {sink, cookie};
        m_nSlots = 1;
        return true;
    }
    if (m_nSlots == 1) {
        if (m_single.pUnk == nullptr) {
            m_single = {sink, cookie};
            return true;
        }
        if (m_maxSlots < kFirstTableSlots) {
            return false;
        }
        auto* table = static_cast<Slot*>(std::calloc(kFirstTableSlots, sizeof(Slot)));
        if (table == nullptr) {
            return false;
        }
        table[0] = m_single;
        table[1] = {sink, cookie};
        m_single = {nullptr, 0};
        m_pTable = table;
        m_nSlots = kFirstTableSlots;
        return true;
    }
    for (size_t i = 0; i < m_nSlots; ++i) {
        if (m_pTable[i].pUnk == nullptr) {
            m_pTable[i] = {sink, cookie};
            return true;
        }
    }
    const size_t grown = m_nSlots * 2;
    if (grown > m_maxSlots || grown < m_nSlots) {
        return false;
    }
    auto* table = static_cast<Slot*>(std::realloc(m_pTable, grown * sizeof(Slot)));
    if (table == nullptr) {
        return false;
    }
    for (size_t i = m_nSlots; i < grown; ++i) {
        table[i] = {nullptr, 0};
    }
    table[m_nSlots] = {sink, cookie};
    m_pTable = table;
    m_nSlots = grown;
    return true;
}

DWORD SkConnectionPoint::NextCookie() {
    for (;;) {
        const DWORD cookie = m_dwNextCookie++;
        if (m_dwNextCookie == 0) {
            m_dwNextCookie = 1;
            m_bCookiesWrapped = true;
        }
        // Until the counter has gone round once, every value is new.
        if (!m_bCookiesWrapped || !CookieInUse(cookie)) {
            return cookie;
        }
    }
}

bool SkConnectionPoint::CookieInUse(DWORD cookie) const {
    for (size_t i = 0; i < m_nSlots; ++i) {
        const Slot& slot = SlotAt(i);
        if (slot.pUnk != nullptr && slot.dwCookie == cookie) {
            return true;
        }
    }
    return false;
}
