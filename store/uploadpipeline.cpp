#include "uploadpipeline.h"

#include "rules/photocachejpeg.h"

#include <QThread>

#include <algorithm>

UploadPipeline::UploadPipeline(QList<QString> paths, int maxRunning)
    : m_paths(std::move(paths))
    , m_maxRunning(maxRunning > 0 ? maxRunning : std::max(1, QThread::idealThreadCount()))
    , m_converted(size_t(m_paths.size()))
    , m_tasks(size_t(m_paths.size()))
{
}

QCoro::Task<> UploadPipeline::convert(QString path, std::shared_ptr<Converted> into)
{
    try {
        into->jpeg = co_await PhotoCacheJPEG::normalizedJPEGDataAsync(std::move(path));
    } catch (...) {
        into->failure = std::current_exception();
    }
    into->done = true;
}

void UploadPipeline::start(qsizetype index)
{
    auto converted = std::make_shared<Converted>();
    m_converted[size_t(index)] = converted;
    m_tasks[size_t(index)] = convert(m_paths.at(index), std::move(converted));
}

void UploadPipeline::fill(qsizetype first)
{
    int running = 0;
    qint64 waiting = 0;
    for (qsizetype i = first; i < m_nextToStart; ++i) {
        const std::shared_ptr<Converted> &converted = m_converted[size_t(i)];
        if (!converted)
            continue;
        if (converted->done)
            waiting += converted->jpeg.size();
        else
            ++running;
    }
    m_nextToStart = std::max(m_nextToStart, first);
    while (m_nextToStart < m_paths.size() && running < m_maxRunning && waiting < maxBytesAhead) {
        start(m_nextToStart++);
        ++running;
    }
}

QCoro::Task<QByteArray> UploadPipeline::take(qsizetype index)
{
    if (!m_converted[size_t(index)]) {
        m_nextToStart = std::max(m_nextToStart, index + 1);
        start(index);
    }
    const std::shared_ptr<Converted> converted = m_converted[size_t(index)];
    if (!converted->done)
        co_await *m_tasks[size_t(index)];
    m_tasks[size_t(index)].reset();
    m_converted[size_t(index)].reset();
    if (converted->failure)
        std::rethrow_exception(converted->failure);
    co_return std::move(converted->jpeg);
}
