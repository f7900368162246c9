#pragma once
// The faults a simulated device suffers, and the seeded random source that
// decides them, so that a test that injects loss sees the same loss each run.

#include <cstdint>
#include <functional>
#include <set>
#include <string>
#include <string_view>

namespace oskan::sim {

struct SimFaults {
    double dropRequest = 0;       // probability that a request never reaches the device
    double duplicateRequest = 0;  // probability that a request reaches the device twice
    double dropReply = 0;         // probability that a reply is lost
    double duplicateReply = 0;    // probability that a reply arrives twice
    uint32_t delayMs = 0;         // every reply is held this long...
    uint32_t jitterMs = 0;        // ...plus 0 to jitterMs more, so replies overtake each other
    // Request kinds the device never answers: "?" (the echo), "X", "PC", ...
    std::set<std::string, std::less<>> silentKinds;

    bool IsSilent(std::string_view kind) const { return silentKinds.find(kind) != silentKinds.end(); }
    bool operator==(const SimFaults&) const = default;
};

// splitmix64: tiny state, so that thousands of devices can each own one.
class SimRandom {
public:
    explicit SimRandom(uint64_t seed = 0) : m_state(seed) {}

    uint64_t Next();
    // True with probability p; p <= 0 never, p >= 1 always, neither drawing.
    bool Chance(double p);
    // Uniform in [0, bound]; bound 0 gives 0 without drawing.
    uint32_t UpTo(uint32_t bound);

private:
    uint64_t m_state;
};

// How long one reply copy is held.
uint32_t DrawReplyDelay(const SimFaults& faults, SimRandom& random);

// The seed of one device's random source: distinct per device, and the same
// for a device whatever other devices exist.
uint64_t DeviceSeed(uint64_t seed, uint64_t macNumber);

}  // namespace oskan::sim
