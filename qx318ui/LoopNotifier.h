#pragma once
// Runs the thread's service loop inside Qt's event loop: the loop is one
// descriptor, watched by a QSocketNotifier, and dispatched when it is
// readable. Socket reads, timers and the components' events thus arrive in
// whatever Qt loop runs, a modal dialog's and nested ones included; nothing
// polls and no second thread is needed.

#include <QSocketNotifier>
#include <functional>
#include <memory>

namespace qx318ui {

class LoopNotifier {
public:
    LoopNotifier();
    ~LoopNotifier();
    LoopNotifier(const LoopNotifier&) = delete;
    LoopNotifier& operator=(const LoopNotifier&) = delete;

    // False when the thread's loop is unusable; nothing is watched then.
    bool IsWatching() const { return m_notifier != nullptr; }

    // True while a wake-up dispatches the loop's callbacks.
    bool IsDraining() const { return m_depth > 0; }
    // Runs at the end of every wake-up, so that what its callbacks left to do
    // is done once for all of them.
    void SetAfterDrain(std::function<void()> callback) { m_afterDrain = std::move(callback); }

private:
    void Drain();

    std::unique_ptr<QSocketNotifier> m_notifier;
    std::function<void()> m_afterDrain;
    int m_depth = 0;
    // Expires with the notifier, which a callback may destroy.
    std::shared_ptr<int> m_alive = std::make_shared<int>(0);
};

}  // namespace qx318ui
