#pragma once
// A running average of reply times that can leave the largest and/or the
// smallest sample out, so that one slow reply does not spoil a device's ping.

#include <cstdint>
#include <deque>

class AvgCalc {
public:
    static constexpr uint32_t kSkipLargest = 1;
    static constexpr uint32_t kSkipSmallest = 2;

    AvgCalc() = default;
    AvgCalc(uint32_t flags, int32_t limit) { Configure(flags, limit); }

    // False, changing nothing, for a negative limit; limit 0 keeps every sample.
    bool Configure(uint32_t flags, int32_t limit);
    // Appends the value (dropping the oldest beyond the limit) and returns the
    // new average.
    uint32_t Add(uint32_t value);
    void Reset() { m_lstValues.clear(); }
    // Only meaningful with at least one sample; 0 without.
    uint32_t Average() const;
    uint32_t Count() const { return static_cast<uint32_t>(m_lstValues.size()); }
    uint32_t Flags() const { return m_dwFlags; }
    int32_t Limit() const { return m_nLimit; }

private:
    uint32_t m_dwFlags = kSkipLargest | kSkipSmallest;
    int32_t m_nLimit = 0;
    std::deque<uint32_t> m_lstValues;  // oldest first
};
