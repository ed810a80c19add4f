#include "decodememorybudget.h"

#include <QFuture>
#include <QPromise>
#include <QThread>
#include <QThreadPool>

#include <qcoro/qcorofuture.h>

#include <algorithm>
#include <vector>

struct DecodeMemoryBudget::Waiter {
    qint64 bytes = 0;
    bool granted = false; // under the budget's mutex
    // Finished when granted, for acquireAsync(); acquire() waits on the
    // budget's condition variable instead.
    std::unique_ptr<QPromise<void>> promise;
};

DecodeMemoryBudget::Share::Share(DecodeMemoryBudget *budget, qint64 bytes)
    : m_budget(budget)
    , m_bytes(bytes)
{
}

DecodeMemoryBudget::Share::Share(Share &&other) noexcept
    : m_budget(std::exchange(other.m_budget, nullptr))
    , m_bytes(std::exchange(other.m_bytes, 0))
{
}

DecodeMemoryBudget::Share &DecodeMemoryBudget::Share::operator=(Share &&other) noexcept
{
    if (this != &other) {
        release();
        m_budget = std::exchange(other.m_budget, nullptr);
        m_bytes = std::exchange(other.m_bytes, 0);
    }
    return *this;
}

DecodeMemoryBudget::Share::~Share()
{
    release();
}

void DecodeMemoryBudget::Share::release()
{
    if (DecodeMemoryBudget *budget = std::exchange(m_budget, nullptr))
        budget->release(std::exchange(m_bytes, 0));
}

DecodeMemoryBudget::DecodeMemoryBudget(qint64 totalBytes)
    : m_total(std::max<qint64>(totalBytes, 0))
{
}

DecodeMemoryBudget::~DecodeMemoryBudget()
{
    Q_ASSERT(m_held == 0 && m_waiting.empty());
}

DecodeMemoryBudget &DecodeMemoryBudget::shared()
{
    // Never destroyed: pool threads may decode until the process ends.
    static auto *budget = new DecodeMemoryBudget(sharedTotalBytes);
    return *budget;
}

qint64 DecodeMemoryBudget::heldBytes() const
{
    const std::lock_guard lock(m_mutex);
    return m_held;
}

int DecodeMemoryBudget::waitingCount() const
{
    const std::lock_guard lock(m_mutex);
    return int(m_waiting.size());
}

// Under the mutex.
std::optional<DecodeMemoryBudget::Share> DecodeMemoryBudget::grantAtOnce(qint64 bytes)
{
    if (!m_waiting.empty() || m_held + bytes > m_total)
        return std::nullopt;
    m_held += bytes;
    return Share(this, bytes);
}

std::optional<DecodeMemoryBudget::Share> DecodeMemoryBudget::tryAcquire(qint64 bytes)
{
    bytes = std::max<qint64>(bytes, 0);
    if (bytes > m_total)
        return std::nullopt;
    const std::lock_guard lock(m_mutex);
    return grantAtOnce(bytes);
}

std::optional<DecodeMemoryBudget::Share> DecodeMemoryBudget::acquire(qint64 bytes)
{
    bytes = std::max<qint64>(bytes, 0);
    if (bytes > m_total)
        return std::nullopt;
    std::unique_lock lock(m_mutex);
    if (std::optional<Share> share = grantAtOnce(bytes))
        return share;
    auto waiter = std::make_shared<Waiter>();
    waiter->bytes = bytes;
    m_waiting.push_back(waiter);
    lock.unlock();

    QThreadPool *pool = QThreadPool::globalInstance();
    const bool onPool = pool->contains(QThread::currentThread());
    if (onPool)
        pool->releaseThread();
    lock.lock();
    m_granted.wait(lock, [&] { return waiter->granted; });
    lock.unlock();
    if (onPool)
        pool->reserveThread();
    return Share(this, bytes);
}

QCoro::Task<std::optional<DecodeMemoryBudget::Share>> DecodeMemoryBudget::acquireAsync(qint64 bytes)
{
    bytes = std::max<qint64>(bytes, 0);
    if (bytes > m_total)
        co_return std::nullopt;
    std::optional<Share> atOnce;
    QFuture<void> granted; // finished once granted, the bytes counted as held
    {
        const std::lock_guard lock(m_mutex);
        atOnce = grantAtOnce(bytes);
        if (!atOnce) {
            auto waiter = std::make_shared<Waiter>();
            waiter->bytes = bytes;
            waiter->promise = std::make_unique<QPromise<void>>();
            waiter->promise->start();
            granted = waiter->promise->future();
            m_waiting.push_back(std::move(waiter));
        }
    }
    if (atOnce)
        co_return atOnce;
    co_await granted;
    co_return Share(this, bytes);
}

void DecodeMemoryBudget::release(qint64 bytes)
{
    std::vector<std::shared_ptr<Waiter>> granted;
    {
        const std::lock_guard lock(m_mutex);
        m_held -= bytes;
        Q_ASSERT(m_held >= 0);
        while (!m_waiting.empty() && m_held + m_waiting.front()->bytes <= m_total) {
            const std::shared_ptr<Waiter> &next = m_waiting.front();
            m_held += next->bytes;
            next->granted = true;
            granted.push_back(next);
            m_waiting.pop_front();
        }
    }
    if (granted.empty())
        return;
    m_granted.notify_all();
    for (const std::shared_ptr<Waiter> &waiter : granted)
        if (waiter->promise)
            waiter->promise->finish();
}
