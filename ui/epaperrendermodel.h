// A photo of the cache as the e-paper frame will show it, for a view that
// offers that look beside the plain photo. The rendering is computed on
// worker threads (EpaperRendering) and kept in the decoded-image cache, so
// switching back and forth shows it at once. While it is computed, the
// view goes on showing the plain photo: rendering() stays null until the
// rendering of the latest request is there.
//
// Main thread only.
#pragma once

#include <QImage>
#include <QObject>
#include <QSize>
#include <QString>

#include <qcoro/qcorotask.h>

#include <optional>

class EpaperRenderModel : public QObject
{
    Q_OBJECT
public:
    explicit EpaperRenderModel(QObject *parent = nullptr);
    ~EpaperRenderModel() override;

    // Renders the full-size cache file of `photoID` for a screen of
    // `screen` pixels. A request equal to the latest does nothing; another
    // drops the rendering shown (the view falls back to the photo) and
    // starts anew. Call it once the file is there (the plain photo has
    // loaded); a file that cannot be rendered is logged and leaves
    // rendering() null until another request.
    void request(const QString &photoID, QSize screen);
    // Forgets the request (no photo any more).
    void clear();

    const QImage &rendering() const { return m_rendering; }
    bool hasRendering() const { return !m_rendering.isNull(); }
    bool isRendering() const { return m_running; }
    const std::optional<QString> &photoID() const { return m_photoID; }
    QSize screen() const { return m_screen; }

Q_SIGNALS:
    // rendering() or isRendering() changed.
    void changed();

private:
    QCoro::Task<> run(QString photoID, QString file, QSize screen, quint64 generation);

    std::optional<QString> m_photoID;
    QSize m_screen;
    QImage m_rendering;
    bool m_running = false;
    quint64 m_generation = 0;
    std::optional<QCoro::Task<>> m_task;
};
