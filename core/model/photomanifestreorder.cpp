#include "photomanifestreorder.h"

#include <algorithm>

namespace PhotoManifestReorder {

int insertionIndex(double horizontalFraction, int photoIndex, int photoCount)
{
    const qint64 candidate = horizontalFraction >= 0.5 ? qint64(photoIndex) + 1 : qint64(photoIndex);
    return int(std::max<qint64>(std::min<qint64>(photoCount, candidate), 0));
}

QList<QString> applyingMove(const QString &draggedID, int insertionIndex, const QList<QString> &order)
{
    const qsizetype from = order.indexOf(draggedID);
    if (from < 0)
        return order;
    QList<QString> result = order;
    result.removeAt(from);
    const qint64 target = from < insertionIndex ? qint64(insertionIndex) - 1 : qint64(insertionIndex);
    const qsizetype clamped = qsizetype(std::clamp<qint64>(target, 0, result.size()));
    if (clamped == from)
        return order;
    result.insert(clamped, draggedID);
    return result;
}

} // namespace PhotoManifestReorder
