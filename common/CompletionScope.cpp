#include "common/CompletionScope.h"

#include <utility>

#include "winport/com/ComEntry.h"

namespace {

// Out of memory while a scope ends loses the completion that cannot be queued
// or fired, never the call: nothing throws out of a destructor.
template <class List>
void Queue(List& queue, CompletionQueue::Completion& completion) {
    winport::ComEntry([&] {
        queue.push_back(std::move(completion));
        return S_OK;
    });
}

void Fire(CompletionQueue::Completion& completion) {
    winport::ComEntry([&] {
        completion();
        return S_OK;
    });
}

}  // namespace

CompletionQueue::~CompletionQueue() {
    while (!m_Delivery.empty()) {
        Completion completion = std::move(m_Delivery.front());
        m_Delivery.pop_front();
        Fire(completion);
    }
}

void CompletionQueue::Post(Completion completion) {
    if (m_pCurrent) {
        m_pCurrent->push_back(std::move(completion));
        return;
    }
    CompletionScope scope(*this);
    m_pCurrent->push_back(std::move(completion));
}

void CompletionQueue::Deliver() {
    FrameStack<>::Frame frame(m_Deliveries);
    while (!m_Delivery.empty()) {
        Completion completion = std::move(m_Delivery.front());
        m_Delivery.pop_front();
        Fire(completion);
        if (!frame.Alive())
            return;  // the queue went with its engine
    }
}

CompletionScope::CompletionScope(CompletionQueue& queue, IUnknown* keepAlive)
    : m_keepAlive(keepAlive), m_pQueue(&queue), m_pOuter(queue.m_pCurrent) {
    queue.m_pCurrent = &m_completions;
}

CompletionScope::~CompletionScope() {
    m_pQueue->m_pCurrent = m_pOuter;
    // A scope inside another of the same engine: the engine is still working.
    if (m_pOuter) {
        for (auto& completion : m_completions)
            Queue(*m_pOuter, completion);
        return;
    }
    for (auto& completion : m_completions)
        Queue(m_pQueue->m_Delivery, completion);
    // Opened by a completion: the delivery running outside fires these after
    // the ones already waiting.
    if (m_pQueue->m_Deliveries.Running())
        return;
    m_pQueue->Deliver();
}
