#include "common/CompletionScope.h"

#include <utility>

CompletionQueue::~CompletionQueue() {
    while (!m_Delivery.empty()) {
        Completion completion = std::move(m_Delivery.front());
        m_Delivery.pop_front();
        completion();
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
        completion();
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
            m_pOuter->push_back(std::move(completion));
        return;
    }
    for (auto& completion : m_completions)
        m_pQueue->m_Delivery.push_back(std::move(completion));
    // Opened by a completion: the delivery running outside fires these after
    // the ones already waiting.
    if (m_pQueue->m_Deliveries.Running())
        return;
    m_pQueue->Deliver();
}
