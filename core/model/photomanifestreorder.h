// Turning a drag position into an insertion index, and applying the move to
// the display order. Insertion indices sit between photos: 0 is before the
// first, n after the last.
#pragma once

#include <QList>
#include <QString>

namespace PhotoManifestReorder {

// The gap a pointer at `horizontalFraction` of the photo's width
// (0 = left edge, 1 = right edge) stands for; exactly 0.5 counts as the right half.
int insertionIndex(double horizontalFraction, int photoIndex, int photoCount);

// `order` after moving the first occurrence of `draggedID` to the gap
// `insertionIndex` (counted before the move). Unknown ids and drops next to
// the photo itself leave the order unchanged.
QList<QString> applyingMove(const QString &draggedID, int insertionIndex, const QList<QString> &order);

} // namespace PhotoManifestReorder
