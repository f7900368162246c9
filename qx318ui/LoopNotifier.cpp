#include "qx318ui/LoopNotifier.h"

#include <QElapsedTimer>

#include "winport/loop/ServiceLoop.h"

namespace qx318ui {

namespace {

// How long one wake-up may keep dispatching before Qt gets its turn: long
// enough that a burst of datagrams is read before the socket buffers fill,
// short enough that the window stays responsive.
constexpr qint64 kDispatchBudgetMs = 8;

void DispatchReady() {
    winport::ServiceLoop& loop = winport::ServiceLoop::Current();
    QElapsedTimer budget;
    budget.start();
    while (loop.Dispatch() > 0 && budget.elapsed() < kDispatchBudgetMs) {
    }
}

}  // namespace

LoopNotifier::LoopNotifier() {
    winport::ServiceLoop& loop = winport::ServiceLoop::Current();
    if (!loop.IsUsable())
        return;
    m_notifier = std::make_unique<QSocketNotifier>(loop.Fd(), QSocketNotifier::Read);
    QObject::connect(m_notifier.get(), &QSocketNotifier::activated, [this] { Drain(); });
}

LoopNotifier::~LoopNotifier() = default;

void LoopNotifier::Drain() {
    const std::weak_ptr<int> alive = m_alive;
    ++m_depth;
    DispatchReady();
    if (alive.expired())
        return;
    --m_depth;
    if (m_afterDrain)
        m_afterDrain();
}

}  // namespace qx318ui
