#include "machineserveraddress.h"

#include "safetext.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QUrl>

namespace {

// The address as the file spells it, for a message: unsafe characters
// written out, and cut short when long.
QString quoted(const QString &text)
{
    constexpr qsizetype shown = 120;
    const QString cut = text.size() > shown ? text.left(shown) + QStringLiteral("…") : text;
    return QLatin1Char('"') + SafeText::visible(cut) + QLatin1Char('"');
}

// The address of `line`, or why it cannot serve.
std::optional<QString> parsedAddress(const QString &line, QString *problem)
{
    const QUrl url(line, QUrl::StrictMode);
    if (!url.isValid() || url.isRelative() || url.host().isEmpty()) {
        *problem = quoted(line) + QStringLiteral(" is not a valid address.");
        return std::nullopt;
    }
    if (url.scheme() != QLatin1StringView("https")) {
        *problem = QStringLiteral("the address must start with https:// (found ") + quoted(line) + QStringLiteral(").");
        return std::nullopt;
    }
    // Sign-in goes to the root of the host while the gallery requests go
    // below the address, so an address with a path would half work.
    const QString path = url.path();
    if (!url.userInfo().isEmpty() || url.hasQuery() || url.hasFragment() || (!path.isEmpty() && path != QLatin1StringView("/"))) {
        *problem = QStringLiteral("the address must be the server's root, like https://photos.example.org, without a "
                                  "user name, path or query (found ")
            + quoted(line) + QStringLiteral(").");
        return std::nullopt;
    }
    QString address = url.toString(QUrl::FullyEncoded);
    while (address.endsWith(QLatin1Char('/')))
        address.chop(1);
    return address;
}

} // namespace

MachineServerAddress MachineServerAddress::read(const QStringList &configDirs)
{
    MachineServerAddress result;
    for (const QString &dir : configDirs) {
        if (!QDir::isAbsolutePath(dir))
            continue;
        const QString candidate = QDir(dir).filePath(relativePath);
        const QFileInfo info(candidate);
        if (!info.exists() && !info.isSymLink())
            continue;
        result.file = candidate;
        break;
    }
    if (result.file.isEmpty())
        return result;

    // A directory, a pipe or a device by that name is refused before it is
    // opened: opening a pipe would wait for a writer.
    const QFileInfo info(result.file);
    QFile file(result.file);
    if (!info.isFile() || !file.open(QIODevice::ReadOnly)) {
        result.problem = QStringLiteral("the file could not be read.");
        return result;
    }
    const QByteArray bytes = file.read(maxFileBytes + 1);
    if (bytes.size() > maxFileBytes) {
        result.problem = QStringLiteral("the file is larger than %1 bytes; it should hold one line.").arg(maxFileBytes);
        return result;
    }

    QStringList lines;
    for (const QString &raw : QString::fromUtf8(bytes).split(QLatin1Char('\n'))) {
        const QString line = raw.trimmed();
        if (!line.isEmpty() && !line.startsWith(QLatin1Char('#')))
            lines.append(line);
    }
    if (lines.isEmpty())
        return result;
    if (lines.size() > 1) {
        result.problem = QStringLiteral("the file holds %1 lines besides comments; it should hold one address.")
                             .arg(lines.size());
        return result;
    }
    result.address = parsedAddress(lines.first(), &result.problem);
    return result;
}

QStringList MachineServerAddress::configDirs()
{
    const QString dirs = qEnvironmentVariable("XDG_CONFIG_DIRS");
    if (dirs.trimmed().isEmpty())
        return {QStringLiteral("/etc/xdg")};
    return dirs.split(QLatin1Char(':'), Qt::SkipEmptyParts);
}

const MachineServerAddress &MachineServerAddress::machine()
{
    static const MachineServerAddress once = read(configDirs());
    return once;
}

QString MachineServerAddress::refusedDetail(const QString &builtInAddress) const
{
    return file + QStringLiteral(": ") + problem + QStringLiteral(" Using the built-in address ") + builtInAddress
        + QLatin1Char('.');
}
