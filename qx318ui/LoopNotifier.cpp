#include "qx318ui/LoopNotifier.h"

#include "winport/loop/ServiceLoop.h"

namespace qx318ui {

LoopNotifier::LoopNotifier() {
    winport::ServiceLoop& loop = winport::ServiceLoop::Current();
    if (!loop.IsUsable())
        return;
    m_notifier = std::make_unique<QSocketNotifier>(loop.Fd(), QSocketNotifier::Read);
    QObject::connect(m_notifier.get(), &QSocketNotifier::activated,
                     [] { winport::ServiceLoop::Current().Dispatch(); });
}

LoopNotifier::~LoopNotifier() = default;

}  // namespace qx318ui
