#pragma once
// How every engine survives a completion that destroys or restarts it.
//
// An engine's entry points (methods, replies, timers) each hold a
// CompletionScope while they work. Completions posted meanwhile wait; when the
// outermost scope ends, the engine's state is final and they are fired in the
// order they were posted. A completion may call anything: a call it makes
// opens a scope of its own, whose completions are fired after the ones still
// waiting, once that call has returned. The scope holds a counted reference
// to the engine's owner, released last, so a handler may drop the last
// reference; an engine without one is destroyed with its queue, which then
// fires what is still waiting, and no frame touches the engine again.

#include <deque>
#include <functional>
#include <vector>

#include "common/AliveGuard.h"
#include "winport/com/com.h"

class CompletionQueue {
public:
    using Completion = std::function<void()>;

    CompletionQueue() = default;
    CompletionQueue(const CompletionQueue&) = delete;
    CompletionQueue& operator=(const CompletionQueue&) = delete;
    // Fires the completions still waiting: a dying engine's last ones.
    ~CompletionQueue();

    // Waits for the end of the running scope; without one, fired at once.
    void Post(Completion completion);
    bool InScope() const { return m_pCurrent != nullptr; }

private:
    friend class CompletionScope;
    void Deliver();

    std::vector<Completion>* m_pCurrent = nullptr;  // of the innermost running scope
    std::deque<Completion> m_Delivery;              // ended scopes' completions, not yet fired
    FrameStack<> m_Deliveries;
};

class CompletionScope {
public:
    explicit CompletionScope(CompletionQueue& queue, IUnknown* keepAlive = nullptr);
    ~CompletionScope();
    CompletionScope(const CompletionScope&) = delete;
    CompletionScope& operator=(const CompletionScope&) = delete;

private:
    ComPtr<IUnknown> m_keepAlive;  // released last
    CompletionQueue* m_pQueue;
    std::vector<CompletionQueue::Completion>* m_pOuter;
    std::vector<CompletionQueue::Completion> m_completions;
};
