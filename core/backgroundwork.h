// One worker thread for the work that grows with the gallery and would hold
// up the main thread at thousands of photos: decoding and encoding the
// manifest, checking the cache files of every photo. Jobs run one at a time
// in the order they were submitted; a coroutine awaits the QFuture and
// resumes on its own thread with the result.
#pragma once

#include <QThreadPool>
#include <QtConcurrent/QtConcurrentRun>

#include <utility>

namespace BackgroundWork {

QThreadPool &pool();

// `work` must not throw and must only touch what it captured by value.
template<typename Work>
auto run(Work &&work)
{
    return QtConcurrent::run(&pool(), std::forward<Work>(work));
}

} // namespace BackgroundWork
