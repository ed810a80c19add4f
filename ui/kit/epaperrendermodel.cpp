#include "epaperrendermodel.h"

#include "decodedimagecache.h"

#include "log/activitylogstore.h"
#include "model/appconfig.h"
#include "rules/epaperrendering.h"

#include <QPointer>

namespace {

QString cacheKey(const QString &file, QSize screen)
{
    return DecodedImageCache::key(file, QStringLiteral("e-paper %1x%2").arg(screen.width()).arg(screen.height()));
}

} // namespace

EpaperRenderModel::EpaperRenderModel(QObject *parent) : QObject(parent) {}

EpaperRenderModel::~EpaperRenderModel() = default;

void EpaperRenderModel::clear()
{
    ++m_generation;
    const bool had = hasRendering() || m_running;
    m_photoID.reset();
    m_screen = QSize();
    m_rendering = QImage();
    m_running = false;
    if (had)
        Q_EMIT changed();
}

void EpaperRenderModel::request(const QString &photoID, QSize screen)
{
    if (m_photoID == photoID && m_screen == screen)
        return;
    ++m_generation;
    m_photoID = photoID;
    m_screen = screen;
    m_rendering = QImage();
    const QString file = AppConfig::cacheURL(photoID);
    if (std::optional<QImage> cached = DecodedImageCache::shared().find(cacheKey(file, screen))) {
        m_rendering = *cached;
        m_running = false;
        Q_EMIT changed();
        return;
    }
    m_running = true;
    Q_EMIT changed();
    m_task = run(photoID, file, screen, m_generation);
}

QCoro::Task<> EpaperRenderModel::run(QString photoID, QString file, QSize screen, quint64 generation)
{
    const QPointer<EpaperRenderModel> self(this);
    const std::optional<QImage> rendered = co_await EpaperRendering::renderFileAsync(file, screen);
    if (!self || generation != m_generation)
        co_return;
    m_running = false;
    if (rendered) {
        DecodedImageCache::shared().insert(cacheKey(file, screen), *rendered);
        m_rendering = *rendered;
    } else {
        ActivityLogStore::shared().log(LogCategory::gallery, LogLevel::warning,
                                       QStringLiteral("Could not render e-paper preview"),
                                       photoID + QStringLiteral(" %1x%2").arg(screen.width()).arg(screen.height()));
    }
    Q_EMIT changed();
}
