#include "common/avgcalc.h"

#include <cstddef>

bool AvgCalc::Configure(uint32_t flags, int32_t limit) {
    if (limit < 0)
        return false;
    m_dwFlags = flags;
    m_nLimit = limit;
    while (m_nLimit != 0 && m_lstValues.size() > static_cast<size_t>(m_nLimit))
        m_lstValues.pop_front();
    return true;
}

uint32_t AvgCalc::Add(uint32_t value) {
    while (m_nLimit != 0 && m_lstValues.size() >= static_cast<size_t>(m_nLimit))
        m_lstValues.pop_front();
    m_lstValues.push_back(value);
    return Average();
}

uint32_t AvgCalc::Average() const {
    const size_t count = m_lstValues.size();
    if (count == 0)
        return 0;
    uint32_t sum = 0;
    if (count < 3) {
        for (uint32_t v : m_lstValues)
            sum += v;
        return sum / static_cast<uint32_t>(count);
    }
    // The oldest of equal extremes is the one left out.
    size_t smallest = 0, largest = 0;
    for (size_t i = 1; i < count; ++i) {
        if (m_lstValues[i] < m_lstValues[smallest])
            smallest = i;
        if (m_lstValues[i] > m_lstValues[largest])
            largest = i;
    }
    uint32_t summed = 0;
    for (size_t i = 0; i < count; ++i) {
        bool skip =
            ((m_dwFlags & kSkipSmallest) && i == smallest) || ((m_dwFlags & kSkipLargest) && i == largest);
        if (skip)
            continue;
        sum += m_lstValues[i];
        ++summed;
    }
    return summed ? sum / summed : 0;
}
