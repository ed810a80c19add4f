#include "testenvironment.h"

#include "model/appconfig.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <memory>

static std::unique_ptr<QTemporaryDir> tempHome;

namespace TestEnvironment {

void setUp()
{
    // With LUNVIK_TEST_HOMES set (./scripts/test does) the homes are kept
    // there after the run, for the secret scan that follows the suite.
    const QString keep = qEnvironmentVariable("LUNVIK_TEST_HOMES");
    if (!keep.isEmpty())
        QDir().mkpath(keep);
    tempHome = std::make_unique<QTemporaryDir>((keep.isEmpty() ? QDir::tempPath() : keep)
                                                 + QStringLiteral("/lunvik-test-XXXXXX"));
    if (!keep.isEmpty())
        tempHome->setAutoRemove(false);
    const QByteArray path = tempHome->path().toUtf8();
    qputenv("HOME", path);
    qputenv("XDG_DATA_HOME", path + "/data");
    qputenv("XDG_CONFIG_HOME", path + "/config");
    qputenv("XDG_DOWNLOAD_DIR", path + "/Downloads");
    QDir().mkpath(QString::fromUtf8(path + "/Downloads"));
    // Temporary files the code under test makes (dropped image data, for
    // one) go away with the temporary home instead of piling up in /tmp.
    qputenv("TMPDIR", path + "/tmp");
    QDir().mkpath(QString::fromUtf8(path + "/tmp"));
}

QString home()
{
    return tempHome->path();
}

void clearSupportFolder()
{
    QDir(AppConfig::supportFolder()).removeRecursively();
    QDir().mkpath(AppConfig::supportFolder());
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

} // namespace TestEnvironment
