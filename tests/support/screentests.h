// What the screen suites share besides GalleryFixture: a small gallery, a
// count of activity log records, and main() for widget tests.
#pragma once

#include "support/galleryfixture.h"

#include <QApplication>
#include <QFile>
#include <QScreen>

#include <algorithm>
#include <optional>

namespace ScreenTests {

// Photos `ids` in this order, all added by Ana, updated on 2026-03-01 09:30 UTC.
inline GalleryState galleryOf(const QStringList &ids, const QString &current = {},
                              const QString &version = QStringLiteral("v1"))
{
    GalleryState state;
    state.updatedAt = version;
    state.order = ids;
    const QString ana = GalleryState::uploaderId(QStringLiteral("Ana"));
    for (const QString &id : ids)
        state.photos.insert(id, PhotoEntry{id, id + ".jpg", "x", 1, "2026-03-01T09:30:00.000Z", std::nullopt,
                                           ana, std::nullopt});
    state.uploaders.insert(ana, QStringLiteral("Ana"));
    if (!current.isEmpty())
        state.currentPhotoId = current;
    return state;
}

// `answer`, sent `ms` milliseconds late.
inline ScriptableServer::Response delayed(ScriptableServer::Response answer, int ms)
{
    answer.delayMs = ms;
    return answer;
}

// Records of the shared activity log with `message` (and `level`, if given).
inline int logged(const QString &message, std::optional<LogLevel> level = std::nullopt)
{
    const QList<LogEntry> entries = ActivityLogStore::shared().entries();
    return int(std::count_if(entries.begin(), entries.end(), [&](const LogEntry &entry) {
        return entry.message == message && (!level || entry.level == *level);
    }));
}

// Unless the environment names another platform: the offscreen one with
// three screens: a roomy one and a small one, for the cases where the window
// makes room for a pane, and one at twice the pixel density ("retina").
// Call before the QApplication exists.
inline void useOffscreenScreens()
{
    if (qEnvironmentVariable("QT_QPA_PLATFORM", QStringLiteral("offscreen")) != QStringLiteral("offscreen"))
        return;
    const QString config = TestEnvironment::home() + QStringLiteral("/screens.json");
    QFile file(config);
    if (!file.open(QIODevice::WriteOnly))
        return;
    file.write(R"({"screens":[)"
               R"({"name":"wide","x":0,"y":0,"width":1600,"height":1000,"logicalDpi":96,"logicalBaseDpi":96,"dpr":1},)"
               R"({"name":"small","x":1600,"y":0,"width":1000,"height":700,"logicalDpi":96,"logicalBaseDpi":96,"dpr":1},)"
               R"({"name":"retina","x":2600,"y":0,"width":1600,"height":1000,"logicalDpi":96,"logicalBaseDpi":96,"dpr":2}]})");
    file.close();
    qputenv("QT_QPA_PLATFORM", "offscreen:configfile=" + config.toUtf8());
}

// The test screen named `name`; null on another platform.
inline QScreen *testScreen(const QString &name)
{
    for (QScreen *candidate : QGuiApplication::screens())
        if (candidate->name() == name)
            return candidate;
    return nullptr;
}

} // namespace ScreenTests

// main() of a widget suite: a temporary home and the screens above.
#define LUNVIK_WIDGET_TEST_MAIN(TestObject)                                                                   \
    LUNVIK_TEST_MAIN_WITH(TestObject, QApplication, ScreenTests::useOffscreenScreens())
