#pragma once
// The per-thread service loop: everything asynchronous in the system (socket
// readiness, timers) runs as a callback from here, one at a time, on the thread
// that owns the objects concerned.
//
// The whole loop is one file descriptor (epoll, with a timerfd holding the
// earliest deadline): a host with a loop of its own watches Fd() and calls
// Dispatch() when it is readable; a host without one calls Run/RunUntil/Stop.
//
// For tests the loop can run on a manual clock: time stands still until the
// test advances it, so tick counts, timers and retransmissions are exact.

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <unordered_map>

namespace winport {

class ServiceLoop {
public:
    using WatchId = uint64_t;
    using TimerId = uint64_t;
    using WatchCallback = std::function<void(uint32_t epollEvents)>;
    using TimerCallback = std::function<void()>;

    // The loop of the calling thread, created on first use.
    static ServiceLoop& Current();

    ServiceLoop(const ServiceLoop&) = delete;
    ServiceLoop& operator=(const ServiceLoop&) = delete;
    ~ServiceLoop();

    // Readable while a watch is ready or a timer is due; -1 on an unusable loop.
    int Fd() const { return m_epollFd; }
    // 0, or the errno that left the loop unusable (its descriptors could not be
    // made or set). An unusable loop arms nothing and its runs end at once.
    int Error() const { return m_error; }
    bool IsUsable() const { return m_error == 0; }

    // Watches a descriptor for epoll events (EPOLLIN, EPOLLOUT...), level-triggered.
    // Returns 0 when epoll refuses the descriptor.
    WatchId AddWatch(int fd, uint32_t epollEvents, WatchCallback callback);
    bool ModifyWatch(WatchId id, uint32_t epollEvents);
    void RemoveWatch(WatchId id);

    // One-shot timer; returns 0 when the system timer cannot be armed.
    TimerId AddTimer(uint32_t delayMs, TimerCallback callback);
    void CancelTimer(TimerId id);
    bool HasTimers() const { return !m_timers.empty(); }

    // Runs every ready watch and due timer without blocking; returns how many
    // callbacks ran (none on an unusable loop).
    size_t Dispatch();

    // Runs until Stop() is called from a callback; returns 0 then, or Error()
    // as soon as the loop is unusable.
    int Run();
    // Runs until the predicate holds (checked after each callback batch) or the
    // timeout has passed, on the loop's clock. Returns the predicate's last
    // value; an unusable loop returns it at once.
    bool RunUntil(const std::function<bool()>& done, uint32_t timeoutMs);
    void Stop() { m_stopRequested = true; }

    // Milliseconds on the loop's clock (monotonic, or the manual clock).
    uint64_t NowMs() const;

    // Manual clock: from now on time moves only through AdvanceClock.
    void UseManualClock(uint64_t startMs);
    bool IsManualClock() const { return m_manualClock; }
    // Moves the manual clock forward by delta, stopping at each timer deadline on
    // the way to run what is due there (and any ready watches).
    void AdvanceClock(uint64_t deltaMs);

    // Number of dispatch passes that ran at least one callback; an idle loop
    // never adds to it.
    uint64_t WakeupCount() const { return m_wakeups; }

private:
    ServiceLoop();

    struct Watch {
        int fd;
        WatchCallback callback;
    };
    struct Timer {
        uint64_t deadline;
        TimerCallback callback;
    };

    // How a pass waits for something to run: not at all (Dispatch), until a
    // watch is ready or a timer is due within the limit (Run, RunUntil), or by
    // moving the manual clock to the next deadline within the limit (AdvanceClock).
    enum class PassMode { kNoWait, kWait, kAdvance };
    struct PassResult {
        size_t ran = 0;
        bool stoppedAtDeadline = false;  // kAdvance: the clock stopped short of the limit
    };
    // Every loop run is made of these: poll the watches as the mode says, read
    // the clock once, run every timer due at that reading.
    PassResult Pass(PassMode mode, uint64_t limitMs);
    size_t PollWatches(PassMode mode, uint64_t limitMs);
    size_t WaitOnManualClock(uint64_t limitMs);
    bool MoveManualClockToward(uint64_t limitMs);
    bool TimerDueAt(uint64_t nowMs) const;
    size_t RunReadyWatches(int waitMs);
    size_t RunDueTimers(uint64_t nowMs);
    void RearmTimerFd();
    void Fail(int error);

    int m_epollFd = -1;
    int m_timerFd = -1;
    uint64_t m_nextId = 1;
    std::unordered_map<WatchId, std::shared_ptr<Watch>> m_watches;
    std::unordered_map<TimerId, Timer> m_timers;
    std::set<std::pair<uint64_t, TimerId>> m_deadlines;  // (deadline, id), earliest first
    uint64_t m_armedDeadline = UINT64_MAX;
    bool m_stopRequested = false;
    bool m_manualClock = false;
    uint64_t m_manualNow = 0;
    uint64_t m_wakeups = 0;
    uint64_t m_passNow = 0;  // the clock as the last pass read it
    int m_error = 0;
};

// Milliseconds since an arbitrary start, 32 bits, wrapping as on Windows; on the
// manual clock when the thread's loop uses one.
uint32_t GetTickCount();

}  // namespace winport
