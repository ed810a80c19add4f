#include "appsettings.h"

#include "gallerystate.h"
#include "jsonfields.h"
#include "machineserveraddress.h"

#include <QJsonDocument>

#include <algorithm>

#ifndef LUNVIK_PRODUCTION_SERVER_URL
#error "LUNVIK_PRODUCTION_SERVER_URL must be defined by the build"
#endif

QString SyncServerURLs::builtInBaseURL()
{
    return QStringLiteral(LUNVIK_PRODUCTION_SERVER_URL);
}

QString SyncServerURLs::productionBaseURL()
{
    return MachineServerAddress::machine().address.value_or(builtInBaseURL());
}

QString SyncServerURLs::localDevBaseURL()
{
    const QString overridden = qEnvironmentVariable("LUNVIK_LOCAL_SERVER_URL").trimmed();
    return overridden.isEmpty() ? QStringLiteral("http://127.0.0.1:3000") : overridden;
}

AppSettings::AppSettings(QString serverBaseURL_, bool debugMode_, QString syncSessionToken_,
                         QString galleryName_, QString displayName_, double previewPaneSplitFraction_,
                         qint64 galleryGridColumnCount_, qint64 debugAdvanceIntervalSeconds_)
    : serverBaseURL(std::move(serverBaseURL_))
    , debugMode(debugMode_)
    , syncSessionToken(std::move(syncSessionToken_))
    , galleryName(std::move(galleryName_))
    , displayName(normalizedDisplayName(displayName_))
    , previewPaneSplitFraction(clampedPreviewPaneSplitFraction(previewPaneSplitFraction_))
    , galleryGridColumnCount(clampedGalleryGridColumnCount(galleryGridColumnCount_))
    , debugAdvanceIntervalSeconds(clampedDebugAdvanceIntervalSeconds(debugAdvanceIntervalSeconds_))
{
}

QString AppSettings::syncServerBaseURL(bool debugMode)
{
    return debugMode ? SyncServerURLs::localDevBaseURL() : SyncServerURLs::productionBaseURL();
}

std::optional<QString> AppSettings::syncBearer() const
{
    const QString token = syncSessionToken.trimmed();
    if (token.isEmpty() || !isUsableSessionToken(token))
        return std::nullopt;
    return token;
}

bool AppSettings::isUsableSessionToken(const QString &token)
{
    if (token.isEmpty() || token.size() > maxSessionTokenLength)
        return false;
    qsizetype end = token.size();
    while (end > 0 && token.at(end - 1) == QLatin1Char('='))
        --end;
    if (end == 0)
        return false;
    for (qsizetype i = 0; i < end; ++i) {
        const char16_t c = token.at(i).unicode();
        const bool allowed = (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z') || (c >= u'0' && c <= u'9')
            || c == u'-' || c == u'.' || c == u'_' || c == u'~' || c == u'+' || c == u'/';
        if (!allowed)
            return false;
    }
    return true;
}

double AppSettings::clampedPreviewPaneSplitFraction(double x)
{
    return std::min(std::max(x, previewPaneSplitFractionMin), previewPaneSplitFractionMax);
}

int AppSettings::clampedGalleryGridColumnCount(qint64 n)
{
    return int(std::clamp<qint64>(n, galleryGridColumnCountMin, galleryGridColumnCountMax));
}

int AppSettings::clampedDebugAdvanceIntervalSeconds(qint64 n)
{
    return int(std::clamp<qint64>(n, debugAdvanceIntervalSecondsMin, debugAdvanceIntervalSecondsMax));
}

QString AppSettings::normalizedDisplayName(const QString &name)
{
    const QString trimmed = name.trimmed();
    return trimmed.isEmpty() ? defaultDisplayName : trimmed;
}

QJsonObject AppSettings::toJson() const
{
    QJsonObject object{
        {QLatin1StringView("serverBaseURL"), serverBaseURL},
        {QLatin1StringView("debugMode"), debugMode},
        {QLatin1StringView("syncSessionToken"), syncSessionToken},
        {QLatin1StringView("galleryName"), galleryName},
        {QLatin1StringView("displayName"), displayName},
        {QLatin1StringView("previewPaneSplitFraction"), previewPaneSplitFraction},
        {QLatin1StringView("galleryGridColumnCount"), galleryGridColumnCount},
        {QLatin1StringView("debugAdvanceIntervalSeconds"), debugAdvanceIntervalSeconds},
    };
    if (uploaderNameOnServer)
        object.insert(QLatin1StringView("uploaderNameOnServer"), *uploaderNameOnServer);
    if (previewAppearance == PreviewAppearance::epaper)
        object.insert(QLatin1StringView("previewAppearance"), QStringLiteral("epaper"));
    if (!notifyWhenLongWorkEnds)
        object.insert(QLatin1StringView("notifyWhenLongWorkEnds"), false);
    return object;
}

QByteArray AppSettings::toJsonBytes() const
{
    return QJsonDocument(toJson()).toJson(QJsonDocument::Compact);
}

std::optional<AppSettings> AppSettings::fromJson(const QJsonValue &value, QString *error)
{
    if (!value.isObject()) {
        if (error)
            *error = QStringLiteral("settings are not an object");
        return std::nullopt;
    }
    JsonFields f(value.toObject());
    const AppSettings d;
    const auto server = f.optionalString(QLatin1StringView("serverBaseURL"));
    const auto debug = f.optionalBool(QLatin1StringView("debugMode"));
    const auto token = f.optionalString(QLatin1StringView("syncSessionToken"));
    const auto gallery = f.optionalString(QLatin1StringView("galleryName"));
    const auto name = f.optionalString(QLatin1StringView("displayName"));
    const auto split = f.optionalDouble(QLatin1StringView("previewPaneSplitFraction"));
    const auto columns = f.optionalInt64(QLatin1StringView("galleryGridColumnCount"));
    const auto interval = f.optionalInt64(QLatin1StringView("debugAdvanceIntervalSeconds"));
    const auto nameOnServer = f.optionalString(QLatin1StringView("uploaderNameOnServer"));
    const auto appearance = f.optionalString(QLatin1StringView("previewAppearance"));
    if (!f.ok()) {
        if (error)
            *error = f.error();
        return std::nullopt;
    }
    AppSettings settings(server.value_or(d.serverBaseURL), debug.value_or(d.debugMode),
                       token.value_or(d.syncSessionToken), gallery.value_or(d.galleryName),
                       name.value_or(d.displayName), split.value_or(d.previewPaneSplitFraction),
                       columns.value_or(d.galleryGridColumnCount),
                       interval.value_or(d.debugAdvanceIntervalSeconds));
    if (nameOnServer && !nameOnServer->trimmed().isEmpty())
        settings.uploaderNameOnServer = nameOnServer->trimmed();
    if (appearance == QLatin1StringView("epaper"))
        settings.previewAppearance = PreviewAppearance::epaper;
    if (value.toObject().value(QLatin1StringView("notifyWhenLongWorkEnds")) == QJsonValue(false))
        settings.notifyWhenLongWorkEnds = false;
    return settings;
}

std::optional<AppSettings> AppSettings::fromJsonBytes(const QByteArray &bytes, QString *error)
{
    return decodeJsonBytes<AppSettings>(bytes, error);
}
