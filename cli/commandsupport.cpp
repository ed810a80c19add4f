#include "commandsupport.h"

#include "safetext.h"

namespace CommandText {

QString field(const QString &text)
{
    return SafeText::replaced(text, QLatin1Char(' '));
}

QString row(const QStringList &fields)
{
    QStringList cleaned;
    cleaned.reserve(fields.size());
    for (const QString &text : fields)
        cleaned << field(text);
    return cleaned.join(QLatin1Char('\t'));
}

QString uploaderName(const PhotoEntry &photo, const UploaderMap &uploaders)
{
    const QString name = uploaders.value(photo.uploaderId).trimmed();
    return name.isEmpty() ? defaultUploaderDisplayName : name;
}

} // namespace CommandText
