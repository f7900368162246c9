#include "winport/loop/ServiceLoop.h"

#include <sys/epoll.h>
#include <sys/timerfd.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <vector>

namespace winport {

namespace {

constexpr uint64_t kTimerFdKey = 0;
// On the manual clock, how long real time may pass with nothing ready before
// the clock jumps to the next deadline: long enough for a datagram already on
// its way through loopback to arrive.
constexpr int kManualGraceMs = 2;

thread_local std::unique_ptr<ServiceLoop> t_loop;

uint64_t MonotonicMs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
}

}  // namespace

ServiceLoop& ServiceLoop::Current() {
    if (!t_loop) t_loop.reset(new ServiceLoop());
    return *t_loop;
}

ServiceLoop::ServiceLoop() {
    m_epollFd = epoll_create1(EPOLL_CLOEXEC);
    if (m_epollFd < 0) {
        Fail(errno);
        return;
    }
    m_timerFd = timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
    if (m_timerFd < 0) {
        Fail(errno);
        return;
    }
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.u64 = kTimerFdKey;
    if (epoll_ctl(m_epollFd, EPOLL_CTL_ADD, m_timerFd, &ev) != 0) {
        Fail(errno);
        return;
    }
}

// Without its descriptors the loop could only spin or sleep for ever: it
// gives them up and says why, and everything that would wait on them ends.
void ServiceLoop::Fail(int error) {
    if (m_error == 0)
        m_error = error != 0 ? error : EBADF;
    if (m_timerFd >= 0)
        close(m_timerFd);
    if (m_epollFd >= 0)
        close(m_epollFd);
    m_timerFd = -1;
    m_epollFd = -1;
}

ServiceLoop::~ServiceLoop() {
    if (m_timerFd >= 0) close(m_timerFd);
    if (m_epollFd >= 0) close(m_epollFd);
}

uint64_t ServiceLoop::NowMs() const { return m_manualClock ? m_manualNow : MonotonicMs(); }

void ServiceLoop::UseManualClock(uint64_t startMs) {
    m_manualClock = true;
    m_manualNow = startMs;
    RearmTimerFd();
}

ServiceLoop::WatchId ServiceLoop::AddWatch(int fd, uint32_t epollEvents, WatchCallback callback) {
    if (!IsUsable())
        return 0;
    WatchId id = m_nextId++;
    epoll_event ev{};
    ev.events = epollEvents;
    ev.data.u64 = id;
    if (epoll_ctl(m_epollFd, EPOLL_CTL_ADD, fd, &ev) != 0) return 0;
    m_watches.emplace(id, std::make_shared<Watch>(Watch{fd, std::move(callback)}));
    return id;
}

bool ServiceLoop::ModifyWatch(WatchId id, uint32_t epollEvents) {
    auto it = m_watches.find(id);
    if (it == m_watches.end()) return false;
    epoll_event ev{};
    ev.events = epollEvents;
    ev.data.u64 = id;
    return epoll_ctl(m_epollFd, EPOLL_CTL_MOD, it->second->fd, &ev) == 0;
}

void ServiceLoop::RemoveWatch(WatchId id) {
    auto it = m_watches.find(id);
    if (it == m_watches.end()) return;
    epoll_ctl(m_epollFd, EPOLL_CTL_DEL, it->second->fd, nullptr);
    m_watches.erase(it);  // a running callback keeps its own reference
}

ServiceLoop::TimerId ServiceLoop::AddTimer(uint32_t delayMs, TimerCallback callback) {
    if (m_timerFd < 0) return 0;
    TimerId id = m_nextId++;
    uint64_t deadline = NowMs() + delayMs;
    auto timer = m_timers.emplace(id, Timer{deadline, std::move(callback)}).first;
    try {
        m_deadlines.emplace(deadline, id);
    } catch (...) {
        m_timers.erase(timer);  // out of memory: nothing armed, not a timer that never fires
        throw;
    }
    RearmTimerFd();
    return id;
}

void ServiceLoop::CancelTimer(TimerId id) {
    auto it = m_timers.find(id);
    if (it == m_timers.end()) return;
    m_deadlines.erase({it->second.deadline, id});
    m_timers.erase(it);
    RearmTimerFd();
}

void ServiceLoop::RearmTimerFd() {
    uint64_t next = (m_manualClock || m_deadlines.empty()) ? UINT64_MAX : m_deadlines.begin()->first;
    if (next == m_armedDeadline) return;
    // Waking earlier than needed is harmless: that pass finds nothing due and
    // arms the real deadline. So a later deadline leaves the descriptor as it
    // is, and a timer killed and set again within one callback (a
    // retransmitter whose window empties and fills) costs no system call. The
    // manual clock never leaves it armed.
    if (next > m_armedDeadline && !m_manualClock) return;
    m_armedDeadline = next;
    itimerspec setting{};
    if (next != UINT64_MAX) {
        // A zero value would disarm the timer; deadline 0 cannot occur on the
        // monotonic clock, but keep at least 1 ns to be safe.
        setting.it_value.tv_sec = static_cast<time_t>(next / 1000u);
        setting.it_value.tv_nsec = static_cast<long>((next % 1000u) * 1000000u);
        if (setting.it_value.tv_sec == 0 && setting.it_value.tv_nsec == 0) setting.it_value.tv_nsec = 1;
    }
    if (m_timerFd >= 0 && timerfd_settime(m_timerFd, TFD_TIMER_ABSTIME, &setting, nullptr) != 0)
        Fail(errno);
}

int ServiceLoop::MillisecondsToNextDeadline() const {
    if (m_deadlines.empty()) return -1;
    uint64_t now = NowMs();
    uint64_t next = m_deadlines.begin()->first;
    if (next <= now) return 0;
    return static_cast<int>(std::min<uint64_t>(next - now, 60000));
}

size_t ServiceLoop::RunReadyWatches(int waitMs) {
    epoll_event events[64];
    if (!IsUsable())
        return 0;
    int n = epoll_wait(m_epollFd, events, 64, waitMs);
    if (n < 0 && errno != EINTR)
        Fail(errno);
    if (n <= 0) return 0;
    size_t ran = 0;
    for (int i = 0; i < n; ++i) {
        uint64_t key = events[i].data.u64;
        if (key == kTimerFdKey) {
            uint64_t expirations;
            while (read(m_timerFd, &expirations, sizeof expirations) > 0) {
            }
            m_armedDeadline = UINT64_MAX;  // fired: it must be set again
            continue;
        }
        // Looked up afresh: an earlier callback of this batch may have removed it.
        auto it = m_watches.find(key);
        if (it == m_watches.end()) continue;
        std::shared_ptr<Watch> watch = it->second;
        watch->callback(events[i].events);
        ++ran;
    }
    return ran;
}

size_t ServiceLoop::RunDueTimers() {
    uint64_t now = NowMs();
    std::vector<TimerId> due;
    for (auto it = m_deadlines.begin(); it != m_deadlines.end() && it->first <= now; ++it) due.push_back(it->second);
    size_t ran = 0;
    for (TimerId id : due) {
        auto it = m_timers.find(id);
        if (it == m_timers.end()) continue;  // cancelled by an earlier callback
        TimerCallback callback = std::move(it->second.callback);
        m_deadlines.erase({it->second.deadline, id});
        m_timers.erase(it);
        callback();
        ++ran;
    }
    RearmTimerFd();
    return ran;
}

size_t ServiceLoop::Dispatch() {
    if (!IsUsable())
        return 0;
    size_t ran = RunReadyWatches(0);
    ran += RunDueTimers();
    if (ran) ++m_wakeups;
    return ran;
}

int ServiceLoop::Run() {
    m_stopRequested = false;
    while (!m_stopRequested && IsUsable()) {
        if (m_manualClock) {
            size_t ran = RunReadyWatches(0);
            ran += RunDueTimers();
            if (ran == 0) ran = RunReadyWatches(kManualGraceMs);
            if (ran)
                ++m_wakeups;
            else if (!m_deadlines.empty())
                m_manualNow = std::max(m_manualNow, m_deadlines.begin()->first);
            continue;
        }
        size_t ran = RunReadyWatches(MillisecondsToNextDeadline());
        ran += RunDueTimers();
        if (ran) ++m_wakeups;
    }
    return m_error;
}

bool ServiceLoop::RunUntil(const std::function<bool()>& done, uint32_t timeoutMs) {
    m_stopRequested = false;
    const uint64_t end = NowMs() + timeoutMs;
    while (!done()) {
        uint64_t now = NowMs();
        if (now >= end || m_stopRequested || !IsUsable()) return done();
        size_t ran;
        if (m_manualClock) {
            ran = RunReadyWatches(0);  // as Dispatch, which would count the pass itself
            ran += RunDueTimers();
            if (ran == 0) ran = RunReadyWatches(kManualGraceMs);
            if (ran == 0) {
                uint64_t next = m_deadlines.empty() ? end : std::min(end, m_deadlines.begin()->first);
                m_manualNow = std::max(m_manualNow, next);
                ran = RunDueTimers();
            }
        } else {
            int wait = static_cast<int>(std::min<uint64_t>(end - now, 60000));
            int toDeadline = MillisecondsToNextDeadline();
            if (toDeadline >= 0) wait = std::min(wait, toDeadline);
            ran = RunReadyWatches(wait);
            ran += RunDueTimers();
        }
        if (ran) ++m_wakeups;
    }
    return true;
}

void ServiceLoop::AdvanceClock(uint64_t deltaMs) {
    const uint64_t target = m_manualNow + deltaMs;
    for (;;) {
        Dispatch();
        if (m_deadlines.empty() || m_deadlines.begin()->first > target) break;
        m_manualNow = std::max(m_manualNow, m_deadlines.begin()->first);
    }
    m_manualNow = target;
    Dispatch();
}

uint32_t GetTickCount() {
    if (t_loop && t_loop->IsManualClock()) return static_cast<uint32_t>(t_loop->NowMs());
    return static_cast<uint32_t>(MonotonicMs());
}

}  // namespace winport
