#include "common/objects/SkConnectionPointContainer.h"

#include <new>

#include "common/objects/SkEnum.h"

HRESULT SkConnectionPointContainer::EnumConnectionPoints(IEnumConnectionPoints** ppEnum) {
    if (ppEnum == nullptr) {
        return E_POINTER;
    }
    *ppEnum = nullptr;
    std::vector<IConnectionPoint*> points;
    try {
        points.assign(m_connectionPoints.begin(), m_connectionPoints.end());
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
    return SkEnumConnectionPoints::Create(points.data(), points.size(), this, ppEnum);
}

HRESULT SkConnectionPointContainer::FindConnectionPoint(REFIID riid, IConnectionPoint** ppCP) {
    if (ppCP == nullptr) {
        return E_POINTER;
    }
    *ppCP = nullptr;
    for (SkConnectionPoint* point : m_connectionPoints) {
        if (IsEqualIID(point->Iid(), riid)) {
            point->AddRef();
            *ppCP = point;
            return S_OK;
        }
    }
    return CONNECT_E_NOCONNECTION;
}
