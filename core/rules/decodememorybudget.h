// The memory that image decodes may hold at the same time, shared by every
// decode in the process (thumbnails, the lightbox and upload conversion).
//
// A decode asks for its share before it allocates anything large, holds it
// while it runs and gives it back when its Share goes. Requests are granted
// in the order they were made, so a large one is not passed over for ever
// by a stream of small ones.
//
// Waiting comes in three kinds:
// - tryAcquire() never waits: the way to ask from a thread-pool worker;
// - acquireAsync() waits without blocking, resuming the awaiting coroutine
//   on its own thread: the way to ask before a decode is dispatched to a
//   pool, the share then travelling with the work;
// - acquire() blocks its thread. Every share is held by a decode that is
//   running, or by one queued on a pool that goes on running work, so the
//   wait ends. When the blocked thread belongs to QtConcurrent's global
//   pool, the pool may start another thread meanwhile, so a decode queued
//   there behind it with its share still runs.
#pragma once

#include <QtGlobal>

#include <qcoro/qcorotask.h>

#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>

class DecodeMemoryBudget
{
public:
    // 640 MB for the whole process. The largest decode an ordinary photo
    // needs must fit alone: libheif decodes a HEIF photo whole, at about
    // 13 bytes a pixel, about 620 MB for a 48-megapixel phone photo. Other
    // decodes need far less: the thumbnail of a 48-megapixel progressive
    // JPEG about 140 MB (libjpeg's coefficient buffers for the whole
    // image), a 48-megapixel PNG, WebP or TIFF, which Qt decodes whole,
    // about 190 MB, so two of those run side by side. A crafted 15000 x
    // 15000 progressive JPEG (675 MB of coefficient buffers at 4:2:0, 1.35
    // GB at 4:4:4) is refused.
    static constexpr qint64 sharedTotalBytes = 640LL * 1024 * 1024;

    // A granted part of a budget, given back when the Share goes. The
    // budget must outlive it.
    class Share
    {
    public:
        Share() = default;
        Share(Share &&other) noexcept;
        Share &operator=(Share &&other) noexcept;
        Share(const Share &) = delete;
        Share &operator=(const Share &) = delete;
        ~Share();

        qint64 bytes() const { return m_bytes; }

    private:
        friend class DecodeMemoryBudget;
        Share(DecodeMemoryBudget *budget, qint64 bytes);
        void release();

        DecodeMemoryBudget *m_budget = nullptr;
        qint64 m_bytes = 0;
    };

    explicit DecodeMemoryBudget(qint64 totalBytes);
    DecodeMemoryBudget(const DecodeMemoryBudget &) = delete;
    DecodeMemoryBudget &operator=(const DecodeMemoryBudget &) = delete;
    // Every share and waiter must be gone by then.
    ~DecodeMemoryBudget();

    // The budget of all decodes in the process, of sharedTotalBytes.
    static DecodeMemoryBudget &shared();

    qint64 totalBytes() const { return m_total; }
    // Granted and not yet given back.
    qint64 heldBytes() const;
    // Requests waiting for their share.
    int waitingCount() const;

    // A share of `bytes` (negative counts as 0), once nothing asked before
    // it waits and it fits. None at once when `bytes` is more than the
    // whole budget: such a request could never be granted.
    std::optional<Share> acquire(qint64 bytes);
    // The share when it can be granted at once; none otherwise (also when
    // others wait, though it would fit).
    std::optional<Share> tryAcquire(qint64 bytes);
    // acquire() without blocking; the awaiting coroutine resumes on its own
    // thread, which must run an event loop.
    QCoro::Task<std::optional<Share>> acquireAsync(qint64 bytes);

private:
    struct Waiter;

    std::optional<Share> grantAtOnce(qint64 bytes);
    void release(qint64 bytes);

    const qint64 m_total;
    mutable std::mutex m_mutex;
    std::condition_variable m_granted;
    qint64 m_held = 0;
    std::deque<std::shared_ptr<Waiter>> m_waiting;
};
