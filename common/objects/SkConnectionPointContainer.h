#pragma once
// IConnectionPointContainer for an event source object: the object's
// connection map, in order, over connection points that are parts of the
// object.
//
// The object derives from this class next to its other interfaces, implements
// IUnknown once for all of them, answers IID_IConnectionPointContainer with
// this base, and names its connection points in its constructor:
//
//     SetConnectionPoints({&m_cpRefreshEvents, &m_cpTrace});

#include <initializer_list>
#include <vector>

#include "common/objects/SkConnectionPoint.h"
#include "winport/com/ocidl.h"

class SkConnectionPointContainer : public IConnectionPointContainer {
public:
    // An enumerator over the connection points in map order; it holds a
    // reference to the object of its own.
    HRESULT EnumConnectionPoints(IEnumConnectionPoints** ppEnum) override;
    // The first connection point in map order whose interface is riid, with a
    // new reference; CONNECT_E_NOCONNECTION when there is none.
    HRESULT FindConnectionPoint(REFIID riid, IConnectionPoint** ppCP) override;

protected:
    SkConnectionPointContainer() = default;
    SkConnectionPointContainer(const SkConnectionPointContainer&) = delete;
    SkConnectionPointContainer& operator=(const SkConnectionPointContainer&) = delete;
    ~SkConnectionPointContainer() = default;

    // The connection map; the points must live as long as the object.
    void SetConnectionPoints(std::initializer_list<SkConnectionPoint*> points) {
        m_connectionPoints = points;
    }
    // Appends one connection point to the end of the map.
    void AddConnectionPoint(SkConnectionPoint* point) { m_connectionPoints.push_back(point); }

private:
    std::vector<SkConnectionPoint*> m_connectionPoints;
};
