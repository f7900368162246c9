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
    if (!t_loop)
        t_loop.reset(new ServiceLoop());
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
    if (m_timerFd >= 0)
        close(m_timerFd);
    if (m_epollFd >= 0)
        close(m_epollFd);
}

uint64_t ServiceLoop::NowMs() const {
    return m_manualClock ? m_manualNow : MonotonicMs();
}

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
    if (epoll_ctl(m_epollFd, EPOLL_CTL_ADD, fd, &ev) != 0)
        return 0;
    m_watches.emplace(id, std::make_shared<Watch>(Watch{fd, std::move(callback)}));
    return id;
}

bool ServiceLoop::ModifyWatch(WatchId id, uint32_t epollEvents) {
    auto it = m_watches.find(id);
    if (it == m_watches.end())
        return false;
    epoll_event ev{};
    ev.events = epollEvents;
    ev.data.u64 = id;
    return epoll_ctl(m_epollFd, EPOLL_CTL_MOD, it->second->fd, &ev) == 0;
}

void ServiceLoop::RemoveWatch(WatchId id) {
    auto it = m_watches.find(id);
    if (it == m_watches.end())
        return;
    epoll_ctl(m_epollFd, EPOLL_CTL_DEL, it->second->fd, nullptr);
    m_watches.erase(it);  // a running callback keeps its own reference
}

ServiceLoop::TimerId ServiceLoop::AddTimer(uint32_t delayMs, TimerCallback callback) {
    if (m_timerFd < 0)
        return 0;
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
    if (it == m_timers.end())
        return;
    m_deadlines.erase({it->second.deadline, id});
    m_timers.erase(it);
    RearmTimerFd();
}

void ServiceLoop::RearmTimerFd() {
    uint64_t next = (m_manualClock || m_deadlines.empty()) ? UINT64_MAX : m_deadlines.begin()->first;
    if (next == m_armedDeadline)
        return;
    // Waking earlier than needed is harmless: that pass finds nothing due and
    // arms the real deadline. So a later deadline leaves the descriptor as it
    // is, and a timer killed and set again within one callback (a
    // retransmitter whose window empties and fills) costs no system call. The
    // manual clock never leaves it armed.
    if (next > m_armedDeadline && !m_manualClock)
        return;
    m_armedDeadline = next;
    itimerspec setting{};
    if (next != UINT64_MAX) {
        // A zero value would disarm the timer; deadline 0 cannot occur on the
        // monotonic clock, but keep at least 1 ns to be safe.
        setting.it_value.tv_sec = static_cast<time_t>(next / 1000u);
        setting.it_value.tv_nsec = static_cast<long>((next % 1000u) * 1000000u);
        if (setting.it_value.tv_sec == 0 && setting.it_value.tv_nsec == 0)
            setting.it_value.tv_nsec = 1;
    }
    if (m_timerFd >= 0 && timerfd_settime(m_timerFd, TFD_TIMER_ABSTIME, &setting, nullptr) != 0)
        Fail(errno);
}

size_t ServiceLoop::RunReadyWatches(int waitMs) {
    epoll_event events[64];
    if (!IsUsable())
        return 0;
    int n = epoll_wait(m_epollFd, events, 64, waitMs);
    if (n < 0 && errno != EINTR)
        Fail(errno);
    if (n <= 0)
        return 0;
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
        if (it == m_watches.end())
            continue;
        std::shared_ptr<Watch> watch = it->second;
        watch->callback(events[i].events);
        ++ran;
    }
    return ran;
}

size_t ServiceLoop::RunDueTimers(uint64_t nowMs) {
    std::vector<TimerId> due;
    for (auto it = m_deadlines.begin(); it != m_deadlines.end() && it->first <= nowMs; ++it)
        due.push_back(it->second);
    size_t ran = 0;
    for (TimerId id : due) {
        auto it = m_timers.find(id);
        if (it == m_timers.end())
            continue;  // cancelled by an earlier callback
        TimerCallback callback = std::move(it->second.callback);
        m_deadlines.erase({it->second.deadline, id});
        m_timers.erase(it);
        callback();
        ++ran;
    }
    RearmTimerFd();
    return ran;
}

bool ServiceLoop::TimerDueAt(uint64_t nowMs) const {
    return !m_deadlines.empty() && m_deadlines.begin()->first <= nowMs;
}

// Jumps the manual clock to the next deadline, or to the limit when that comes
// first; returns whether it stopped at a deadline.
bool ServiceLoop::MoveManualClockToward(uint64_t limitMs) {
    if (TimerDueAt(limitMs)) {
        m_manualNow = std::max(m_manualNow, m_deadlines.begin()->first);
        return true;
    }
    if (limitMs != UINT64_MAX)
        m_manualNow = limitMs;
    return false;
}

// Time stands still until nothing is left to do now; then a short real wait
// lets a datagram already on its way through loopback arrive before the clock
// jumps ahead.
size_t ServiceLoop::WaitOnManualClock(uint64_t limitMs) {
    size_t ran = RunReadyWatches(0);
    if (ran == 0 && !TimerDueAt(m_manualNow))
        ran = RunReadyWatches(kManualGraceMs);
    if (ran == 0 && !TimerDueAt(m_manualNow))
        MoveManualClockToward(limitMs);
    return ran;
}

size_t ServiceLoop::PollWatches(PassMode mode, uint64_t limitMs) {
    if (mode == PassMode::kNoWait || mode == PassMode::kAdvance)
        return RunReadyWatches(0);
    if (m_manualClock)
        return WaitOnManualClock(limitMs);
    // The timer descriptor wakes the wait at the earliest deadline; only the
    // caller's limit needs a timeout of its own.
    int waitMs = -1;
    if (limitMs != UINT64_MAX)
        waitMs = static_cast<int>(std::min<uint64_t>(limitMs > m_passNow ? limitMs - m_passNow : 0, 60000));
    return RunReadyWatches(waitMs);
}

ServiceLoop::PassResult ServiceLoop::Pass(PassMode mode, uint64_t limitMs) {
    PassResult result;
    if (mode == PassMode::kAdvance)
        result.stoppedAtDeadline = MoveManualClockToward(limitMs);
    if (!IsUsable()) {  // nothing can run: the clock goes straight to the limit
        if (mode == PassMode::kAdvance)
            m_manualNow = limitMs;
        result.stoppedAtDeadline = false;
        return result;
    }
    result.ran = PollWatches(mode, limitMs);
    m_passNow = NowMs();
    result.ran += RunDueTimers(m_passNow);
    if (result.ran)
        ++m_wakeups;
    return result;
}

size_t ServiceLoop::Dispatch() {
    return Pass(PassMode::kNoWait, 0).ran;
}

int ServiceLoop::Run() {
    m_stopRequested = false;
    while (!m_stopRequested && IsUsable())
        Pass(PassMode::kWait, UINT64_MAX);
    return m_error;
}

bool ServiceLoop::RunUntil(const std::function<bool()>& done, uint32_t timeoutMs) {
    m_stopRequested = false;
    m_passNow = NowMs();
    const uint64_t end = m_passNow + timeoutMs;
    while (!done()) {
        if (m_passNow >= end || m_stopRequested || !IsUsable())
            return done();
        Pass(PassMode::kWait, end);
    }
    return true;
}

void ServiceLoop::AdvanceClock(uint64_t deltaMs) {
    const uint64_t target = m_manualNow + deltaMs;
    Pass(PassMode::kNoWait, 0);
    while (Pass(PassMode::kAdvance, target).stoppedAtDeadline) {
    }
}

uint32_t GetTickCount() {
    if (t_loop && t_loop->IsManualClock())
        return static_cast<uint32_t>(t_loop->NowMs());
    return static_cast<uint32_t>(MonotonicMs());
}

}  // namespace winport
