// A long-lived background task that can be cancelled cooperatively, and the
// pause it makes between its rounds. Tests replace the pause so that half an
// hour passes at once.
#pragma once

#include <qcoro/qcorotask.h>

#include <chrono>
#include <functional>
#include <memory>

// Shared between a running task and whoever may cancel it.
class CancellationFlag
{
public:
    bool isCancelled() const { return m_cancelled; }
    // Ends a pause in progress at once.
    void cancel();
    // What cancel() does to a pause in progress; set by the pause itself.
    void setWaker(std::function<void()> waker) { m_waker = std::move(waker); }

private:
    bool m_cancelled = false;
    std::function<void()> m_waker;
};

// Waits `duration`; false when the wait ended because the flag was cancelled.
using PauseFunction = std::function<QCoro::Task<bool>(std::chrono::milliseconds, std::shared_ptr<CancellationFlag>)>;

// The real pause: a timer on the current thread's event loop.
QCoro::Task<bool> timerPause(std::chrono::milliseconds duration, std::shared_ptr<CancellationFlag> flag);
