#include "secretmask.h"

#include <QMutex>
#include <QStringList>

namespace {

// The password and the tokens of one session at a time, and a few older
// ones: a process signs in again at most a few times.
constexpr qsizetype remembered = 8;

struct Secrets {
    QMutex mutex;
    QStringList values;
};

Secrets &secrets()
{
    static Secrets instance;
    return instance;
}

} // namespace

namespace SecretMask {

void remember(const QString &secret)
{
    const QString value = secret.trimmed();
    if (value.size() < minimumLength)
        return;
    Secrets &all = secrets();
    const QMutexLocker lock(&all.mutex);
    all.values.removeAll(value);
    all.values.prepend(value);
    while (all.values.size() > remembered)
        all.values.removeLast();
}

QString masked(const QString &text)
{
    Secrets &all = secrets();
    const QMutexLocker lock(&all.mutex);
    QString result = text;
    // Longest first, so a secret that contains another is masked whole.
    QStringList values = all.values;
    std::sort(values.begin(), values.end(), [](const QString &a, const QString &b) { return a.size() > b.size(); });
    for (const QString &value : std::as_const(values))
        result.replace(value, QStringLiteral("[redacted]"));
    return result;
}

} // namespace SecretMask
