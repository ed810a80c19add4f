#include "jsonfields.h"

#include <QJsonDocument>
#include <QJsonParseError>
#include <QStringDecoder>
#include <QVariant>

#include <cmath>

std::optional<qint64> JsonFields::integerValue(const QJsonValue &value)
{
    if (!value.isDouble())
        return std::nullopt;
    const QVariant variant = value.toVariant();
    if (variant.typeId() == QMetaType::LongLong)
        return variant.toLongLong();
    const double d = value.toDouble();
    // 2^63 is exactly representable; anything at or above it does not fit.
    if (!std::isfinite(d) || d != std::trunc(d) || d < -9223372036854775808.0
        || d >= 9223372036854775808.0)
        return std::nullopt;
    return static_cast<qint64>(d);
}

void JsonFields::fail(const QString &reason)
{
    if (m_error.isEmpty())
        m_error = reason;
}

QJsonValue JsonFields::required(QLatin1StringView key)
{
    const QJsonValue v = m_object.value(key);
    if (v.isUndefined() || v.isNull()) {
        fail(QStringLiteral("missing \"%1\"").arg(key));
        return QJsonValue(QJsonValue::Undefined);
    }
    return v;
}

QJsonValue JsonFields::optional(QLatin1StringView key)
{
    const QJsonValue v = m_object.value(key);
    if (v.isNull())
        return QJsonValue(QJsonValue::Undefined);
    return v;
}

QString JsonFields::string(QLatin1StringView key)
{
    const QJsonValue v = required(key);
    if (v.isUndefined())
        return {};
    if (!v.isString()) {
        fail(QStringLiteral("\"%1\" is not a string").arg(key));
        return {};
    }
    return v.toString();
}

std::optional<QString> JsonFields::optionalString(QLatin1StringView key)
{
    const QJsonValue v = optional(key);
    if (v.isUndefined())
        return std::nullopt;
    if (!v.isString()) {
        fail(QStringLiteral("\"%1\" is not a string").arg(key));
        return std::nullopt;
    }
    return v.toString();
}

qint64 JsonFields::int64(QLatin1StringView key)
{
    const QJsonValue v = required(key);
    if (v.isUndefined())
        return 0;
    const auto n = integerValue(v);
    if (!n) {
        fail(QStringLiteral("\"%1\" is not an integer").arg(key));
        return 0;
    }
    return *n;
}

std::optional<qint64> JsonFields::optionalInt64(QLatin1StringView key)
{
    const QJsonValue v = optional(key);
    if (v.isUndefined())
        return std::nullopt;
    const auto n = integerValue(v);
    if (!n)
        fail(QStringLiteral("\"%1\" is not an integer").arg(key));
    return n;
}

std::optional<bool> JsonFields::optionalBool(QLatin1StringView key)
{
    const QJsonValue v = optional(key);
    if (v.isUndefined())
        return std::nullopt;
    if (!v.isBool()) {
        fail(QStringLiteral("\"%1\" is not a boolean").arg(key));
        return std::nullopt;
    }
    return v.toBool();
}

std::optional<double> JsonFields::optionalDouble(QLatin1StringView key)
{
    const QJsonValue v = optional(key);
    if (v.isUndefined())
        return std::nullopt;
    if (!v.isDouble()) {
        fail(QStringLiteral("\"%1\" is not a number").arg(key));
        return std::nullopt;
    }
    return v.toDouble();
}

std::optional<QJsonObject> parseJsonObject(const QByteArray &bytes, QString *error)
{
    QJsonParseError parseError;
    const QJsonDocument doc = QJsonDocument::fromJson(bytes, &parseError);
    QString reason;
    if (parseError.error != QJsonParseError::NoError)
        reason = parseError.errorString();
    else if (!doc.isObject())
        reason = QStringLiteral("top level is not an object");
    if (!reason.isEmpty()) {
        if (error)
            *error = reason;
        return std::nullopt;
    }
    return doc.object();
}

std::optional<QString> decodeUtf8(const QByteArray &bytes)
{
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    // decode() is lazy: only the conversion to QString runs the decoder and
    // sets hasError().
    QString text = decoder.decode(bytes);
    if (decoder.hasError())
        return std::nullopt;
    return text;
}

bool answerSaysOk(const QByteArray &bytes)
{
    const auto object = parseJsonObject(bytes);
    if (!object)
        return false;
    const QJsonValue ok = object->value(QLatin1StringView("ok"));
    return ok.isBool() && ok.toBool();
}
