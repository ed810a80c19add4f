#include "benchhooks.h"

#include "galleryphotogrid.h"

#include <QApplication>
#include <QEvent>
#include <QFile>
#include <QPointer>
#include <QScrollBar>
#include <QTimer>

#include <cstdio>
#include <cstdlib>

namespace {

void report(const QByteArray &line)
{
    std::fputs(("bench: " + line + '\n').constData(), stdout);
    std::fflush(stdout);
}

// Ends at once: what is measured is over, and tearing down is not part of it.
[[noreturn]] void finish()
{
    std::fflush(nullptr);
    std::_Exit(0);
}

QByteArray memoryLine()
{
    QFile status(QStringLiteral("/proc/self/status"));
    QByteArray rss = "?";
    QByteArray hwm = "?";
    if (status.open(QIODevice::ReadOnly)) {
        for (const QByteArray &line : status.readAll().split('\n')) {
            if (line.startsWith("VmRSS:"))
                rss = line.mid(6).trimmed().split(' ').first();
            if (line.startsWith("VmHWM:"))
                hwm = line.mid(6).trimmed().split(' ').first();
        }
    }
    return "memory VmRSS=" + rss + " VmHWM=" + hwm;
}

// Every cell on screen has its picture.
bool screenShowsImages(const GalleryPhotoGrid &grid)
{
    const QRect screen = grid.viewport()->rect();
    const int count = int(grid.photoOrder().size());
    const int first = std::max(grid.indexAt(QPoint(int(GalleryGridGeometry::padding) + 1,
                                                   int(GalleryGridGeometry::padding) + 1)), 0);
    for (int i = first; i < count; ++i) {
        const QRect cell = grid.visualRect(i);
        if (cell.top() > screen.bottom())
            break;
        if (!cell.intersects(screen))
            continue;
        const PhotoImageModel *model = grid.imageModel(grid.photoOrder().at(i));
        if (!model || !model->hasImage())
            return false;
    }
    return true;
}

class GridWatch : public QObject
{
public:
    GridWatch(bool scroll, QObject *parent) : QObject(parent), m_scroll(scroll) {}

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (event->type() != QEvent::Paint || !watched->parent())
            return false;
        auto *grid = qobject_cast<GalleryPhotoGrid *>(watched->parent());
        if (!grid || watched != grid->viewport() || grid->photoOrder().isEmpty())
            return false;
        m_grid = grid;
        // After this paint has been done.
        const bool images = screenShowsImages(*grid);
        QTimer::singleShot(0, this, [this, images] { painted(images); });
        return false;
    }

private:
    void painted(bool images)
    {
        if (!m_sawGrid) {
            m_sawGrid = true;
            report("first-grid-paint");
        }
        if (!images || m_sawImages)
            return;
        m_sawImages = true;
        report("thumbnails-painted");
        if (!m_scroll)
            finish();
        QTimer::singleShot(0, this, [this] { scrollStep(); });
    }

    // One page at a time, down to the bottom and back up, each page shown
    // with its pictures (or after two seconds) before the next.
    void scrollStep()
    {
        if (!m_grid)
            finish();
        QScrollBar *bar = m_grid->verticalScrollBar();
        if (!screenShowsImages(*m_grid) && m_waitedMs < 2000) {
            m_waitedMs += 5;
            QTimer::singleShot(5, this, [this] { scrollStep(); });
            return;
        }
        m_waitedMs = 0;
        if (m_goingDown && bar->value() >= bar->maximum())
            m_goingDown = false;
        if (!m_goingDown && bar->value() <= bar->minimum()) {
            report(memoryLine());
            finish();
        }
        bar->setValue(bar->value() + (m_goingDown ? bar->pageStep() : -bar->pageStep()));
        QTimer::singleShot(5, this, [this] { scrollStep(); });
    }

    bool m_scroll;
    QPointer<GalleryPhotoGrid> m_grid;
    bool m_sawGrid = false;
    bool m_sawImages = false;
    bool m_goingDown = true;
    int m_waitedMs = 0;
};

} // namespace

namespace BenchHooks {

void installFromEnvironment()
{
    const QByteArray hook = qgetenv("LUNVIK_BENCH_GRID_HOOK");
    if (hook != "paint" && hook != "scroll")
        return;
    qApp->installEventFilter(new GridWatch(hook == "scroll", qApp));
}

} // namespace BenchHooks
