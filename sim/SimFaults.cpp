#include "sim/SimFaults.h"

namespace oskan::sim {

uint64_t SimRandom::Next() {
    uint64_t z = (m_state += 0x9e3779b97f4a7c15ull);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
    return z ^ (z >> 31);
}

bool SimRandom::Chance(double p) {
    if (p <= 0)
        return false;
    if (p >= 1)
        return true;
    // 53 random bits: a double in [0, 1).
    return static_cast<double>(Next() >> 11) * 0x1.0p-53 < p;
}

uint32_t SimRandom::UpTo(uint32_t bound) {
    if (bound == 0)
        return 0;
    return static_cast<uint32_t>(Next() % (static_cast<uint64_t>(bound) + 1));
}

uint32_t DrawReplyDelay(const SimFaults& faults, SimRandom& random) {
    uint64_t delay = static_cast<uint64_t>(faults.delayMs) + random.UpTo(faults.jitterMs);
    return delay > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(delay);
}

uint64_t DeviceSeed(uint64_t seed, uint64_t macNumber) {
    SimRandom mix(seed ^ (macNumber * 0x9e3779b97f4a7c15ull));
    return mix.Next();
}

}  // namespace oskan::sim
