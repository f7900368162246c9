#pragma once
// Runs the thread's service loop inside Qt's event loop: the loop is one
// descriptor, watched by a QSocketNotifier, and dispatched when it is
// readable. Socket reads, timers and the components' events thus arrive in
// whatever Qt loop runs, a modal dialog's and nested ones included; nothing
// polls and no second thread is needed.

#include <QSocketNotifier>
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

private:
    std::unique_ptr<QSocketNotifier> m_notifier;
};

}  // namespace qx318ui
