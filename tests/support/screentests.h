// What the screen suites share besides GalleryFixture: a small gallery, a
// count of activity log records, and main() for widget tests.
#pragma once

#include "support/galleryfixture.h"

#include <QApplication>

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

// Records of the shared activity log with `message` (and `level`, if given).
inline int logged(const QString &message, std::optional<LogLevel> level = std::nullopt)
{
    const QList<LogEntry> entries = ActivityLogStore::shared().entries();
    return int(std::count_if(entries.begin(), entries.end(), [&](const LogEntry &entry) {
        return entry.message == message && (!level || entry.level == *level);
    }));
}

} // namespace ScreenTests

// main() of a widget suite: a temporary home, and the offscreen platform
// unless the environment names another.
#define LUNVIK_WIDGET_TEST_MAIN(TestObject)                                                                   \
    int main(int argc, char **argv)                                                                           \
    {                                                                                                         \
        TestEnvironment::setUp();                                                                             \
        if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM"))                                                    \
            qputenv("QT_QPA_PLATFORM", "offscreen");                                                          \
        QApplication app(argc, argv);                                                                         \
        app.setAttribute(Qt::AA_Use96Dpi, true);                                                              \
        TestObject tc;                                                                                        \
        QTEST_SET_MAIN_SOURCE_PATH                                                                            \
        return QTest::qExec(&tc, argc, argv);                                                                 \
    }
