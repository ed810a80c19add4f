#include "periodictask.h"

#include <QPointer>
#include <QTimer>

#include <qcoro/qcorotimer.h>

void CancellationFlag::cancel()
{
    m_cancelled = true;
    if (auto waker = std::exchange(m_waker, nullptr))
        waker();
}

QCoro::Task<bool> timerPause(std::chrono::milliseconds duration, std::shared_ptr<CancellationFlag> flag)
{
    if (flag->isCancelled())
        co_return false;
    // On the heap and guarded: a pause that is never resumed (the process
    // ends first) must not leave the flag a dangling waker.
    auto timer = std::make_unique<QTimer>();
    timer->setSingleShot(true);
    QPointer<QTimer> guard(timer.get());
    flag->setWaker([guard] {
        if (guard)
            guard->start(0);
    });
    timer->start(duration);
    co_await qCoro(*timer).waitForTimeout();
    flag->setWaker(nullptr);
    co_return !flag->isCancelled();
}
