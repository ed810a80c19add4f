// The user's settings, as stored in config.json: eight values with defaults
// and the clamping applied on every construction and decode, and the
// bookkeeping of an uploader rename the server still owes.
#pragma once

#include <QJsonObject>
#include <QString>

#include <optional>

namespace SyncServerURLs {
// Fixed at build time (CMake cache variable LUNVIK_PRODUCTION_SERVER_URL).
QString builtInBaseURL();
// The machine's own server (MachineServerAddress) when its administrator set
// one, else the built-in address.
QString productionBaseURL();
// The development server of ./scripts/dev.sh. The environment variable
// LUNVIK_LOCAL_SERVER_URL names another one (a second server on another
// port, the end-to-end tests' server on a free port).
QString localDevBaseURL();
} // namespace SyncServerURLs

// How the device preview and the lightbox show a photo: as a screen shows
// it, or as the frames' e-paper panel will (EpaperRendering).
enum class PreviewAppearance { photo, epaper };

struct AppSettings {
    static inline const QString defaultDisplayName = QStringLiteral("Kelvo");
    static QString productionServerBaseURL() { return SyncServerURLs::productionBaseURL(); }
    static constexpr double previewPaneSplitFractionDefault = 0.48;
    static constexpr double previewPaneSplitFractionMin = 0.28;
    static constexpr double previewPaneSplitFractionMax = 0.72;
    static constexpr int galleryGridColumnCountDefault = 5;
    static constexpr int galleryGridColumnCountMin = 2;
    static constexpr int galleryGridColumnCountMax = 8;
    static constexpr int debugAdvanceIntervalSecondsDefault = 1800;
    static constexpr int debugAdvanceIntervalSecondsMin = 60;
    static constexpr int debugAdvanceIntervalSecondsMax = 86400;

    QString serverBaseURL = productionServerBaseURL();
    bool debugMode = false;
    QString syncSessionToken;
    QString galleryName = QStringLiteral("default");
    QString displayName = defaultDisplayName;
    double previewPaneSplitFraction = previewPaneSplitFractionDefault;
    int galleryGridColumnCount = galleryGridColumnCountDefault;
    int debugAdvanceIntervalSeconds = debugAdvanceIntervalSecondsDefault;
    // Set only while a rename of the uploader is owed: the display name the
    // server last accepted, which uploads there still carry. Written only
    // when set, so older files (and older programs) are unaffected.
    std::optional<QString> uploaderNameOnServer;
    // Written only when it is not `photo`, so older files (without it) read
    // as `photo`. An unknown value (a newer program's) reads as `photo` too
    // rather than costing the whole file.
    PreviewAppearance previewAppearance = PreviewAppearance::photo;
    // Whether the desktop shows a notification when long work (an upload
    // batch, a sync that downloaded photos, a failed frame push) ends while
    // the window is not active. Written only when off; anything but false
    // reads as on.
    bool notifyWhenLongWorkEnds = true;

    AppSettings() = default;
    // Applies the normalisation: display name trimmed (blank becomes the
    // default), numbers clamped to their ranges.
    AppSettings(QString serverBaseURL, bool debugMode, QString syncSessionToken, QString galleryName,
                QString displayName, double previewPaneSplitFraction, qint64 galleryGridColumnCount,
                qint64 debugAdvanceIntervalSeconds);

    static AppSettings defaults() { return {}; }

    static QString syncServerBaseURL(bool debugMode);
    // The stored token trimmed; none when that leaves nothing (no session),
    // or when it is no usable token (a file edited by hand or by another
    // program): a stored token goes into a request header as it is.
    std::optional<QString> syncBearer() const;
    // A bearer token as HTTP defines one (letters, digits and "-._~+/",
    // then "=" padding), at most maxSessionTokenLength characters. Anything
    // else could break out of the header that carries it.
    static bool isUsableSessionToken(const QString &token);
    static constexpr qsizetype maxSessionTokenLength = 4096;

    static double clampedPreviewPaneSplitFraction(double x);
    static int clampedGalleryGridColumnCount(qint64 n);
    static int clampedDebugAdvanceIntervalSeconds(qint64 n);
    static QString normalizedDisplayName(const QString &name);

    QJsonObject toJson() const;
    QByteArray toJsonBytes() const;
    // Missing or null keys keep their defaults; a wrong type fails the decode.
    static std::optional<AppSettings> fromJson(const QJsonValue &value, QString *error = nullptr);
    static std::optional<AppSettings> fromJsonBytes(const QByteArray &bytes, QString *error = nullptr);

    bool operator==(const AppSettings &) const = default;
};
