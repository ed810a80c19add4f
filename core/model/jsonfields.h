// Strict reading of JSON object members, in the manner of the wire format:
// a required member must be present and non-null, an optional one may be
// missing or null, and a member of the wrong JSON type fails the decode.
// The first failure is remembered; later reads return defaults.
#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QString>

#include <optional>

class JsonFields
{
public:
    explicit JsonFields(const QJsonObject &object) : m_object(object) {}

    QString string(QLatin1StringView key);
    std::optional<QString> optionalString(QLatin1StringView key);
    qint64 int64(QLatin1StringView key);
    std::optional<qint64> optionalInt64(QLatin1StringView key);
    std::optional<bool> optionalBool(QLatin1StringView key);
    std::optional<double> optionalDouble(QLatin1StringView key);
    // The raw value of a required member (present and not null).
    QJsonValue required(QLatin1StringView key);
    // The raw value of an optional member; Undefined when missing or null.
    QJsonValue optional(QLatin1StringView key);

    void fail(const QString &reason);
    bool ok() const { return m_error.isEmpty(); }
    const QString &error() const { return m_error; }

    // A JSON number holding an integer that fits 64 bits (5 and 5.0 both do).
    static std::optional<qint64> integerValue(const QJsonValue &value);

private:
    QJsonObject m_object;
    QString m_error;
};

// Reports a decoding failure: sets *error (when asked for) and returns none.
template<typename T>
std::optional<T> failWith(QString *error, const QString &reason)
{
    if (error)
        *error = reason;
    return std::nullopt;
}

// Writes an optional member only when it has a value.
template<typename V>
void writeOptional(QJsonObject &object, QLatin1StringView key, const std::optional<V> &value)
{
    if (value)
        object.insert(key, *value);
}

// True when the bytes are a JSON object whose "ok" is the boolean true.
bool answerSaysOk(const QByteArray &bytes);

// Parses bytes as a JSON document whose top level is an object.
std::optional<QJsonObject> parseJsonObject(const QByteArray &bytes, QString *error = nullptr);

// Decodes a JSON object held in bytes with T::fromJson.
template<typename T>
std::optional<T> decodeJsonBytes(const QByteArray &bytes, QString *error)
{
    const auto object = parseJsonObject(bytes, error);
    if (!object)
        return std::nullopt;
    return T::fromJson(*object, error);
}

// The bytes as text; none when they are not valid UTF-8.
std::optional<QString> decodeUtf8(const QByteArray &bytes);
