// The files of an upload batch, read and converted to JPEG ahead of their
// turn: while one file is on its way to the server, the next ones are
// converted on worker threads, so a batch costs about the longer of the
// conversions and the sending instead of their sum.
//
// Conversions start in the batch's order, at most as many at once as there
// are cores, and not while the converted files waiting for their turn hold
// maxBytesAhead or more. Main thread only.
#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

#include <qcoro/qcorotask.h>

#include <exception>
#include <memory>
#include <optional>
#include <vector>

class UploadPipeline
{
public:
    // Far above a converted phone photo (a few MB), far below the memory
    // the conversions themselves may take.
    static constexpr qint64 maxBytesAhead = 64LL * 1024 * 1024;

    explicit UploadPipeline(QList<QString> paths, int maxRunning = 0);

    // Starts the conversions that may run now, from the file at `first`
    // (the one whose turn it is) on.
    void fill(qsizetype first);
    // The file at `index` as JPEG, converting it now when it was not
    // started; throws what the conversion threw. Each file is taken once.
    QCoro::Task<QByteArray> take(qsizetype index);

    // Conversions started so far, for tests.
    qsizetype started() const { return m_nextToStart; }
    int maxRunning() const { return m_maxRunning; }

private:
    struct Converted {
        bool done = false;
        QByteArray jpeg;
        std::exception_ptr failure;
    };
    static QCoro::Task<> convert(QString path, std::shared_ptr<Converted> into);
    void start(qsizetype index);

    QList<QString> m_paths;
    int m_maxRunning;
    qsizetype m_nextToStart = 0;
    std::vector<std::shared_ptr<Converted>> m_converted;
    // Left running when the batch ends early: a dropped task finishes on
    // its own and gives its decode memory back.
    std::vector<std::optional<QCoro::Task<>>> m_tasks;
};
