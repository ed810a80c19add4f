#include "gallerythumbsizing.h"

#include <algorithm>
#include <cmath>

namespace GalleryThumbSizing {

int maxPixelSize(double cellWidth, double cellHeight, double backingScale)
{
    const double longest = std::max(cellWidth, cellHeight) * backingScale * 1.05;
    if (!std::isfinite(longest) || longest <= minPixelSize)
        return minPixelSize;
    if (longest >= maxPixelSizeCap)
        return maxPixelSizeCap;
    return std::clamp(int(std::ceil(longest)), minPixelSize, maxPixelSizeCap);
}

int thumbnailDownloadWidth(int maxPixelSize)
{
    const int steps = std::max((maxPixelSize + 255) / 256, 1);
    return std::min(steps * 256, 1024);
}

double thumbAspectRatio(double deviceScreenAspectRatio)
{
    if (std::isfinite(deviceScreenAspectRatio) && deviceScreenAspectRatio > 0)
        return std::min(deviceScreenAspectRatio, 1.0);
    return 1200.0 / 1600.0;
}

int clampedColumnCount(int columns)
{
    return std::clamp(columns, minColumnCount, maxColumnCount);
}

} // namespace GalleryThumbSizing

GalleryGridGeometry::GalleryGridGeometry(double viewportWidth, int columnCount, double aspectRatio)
    : columns(std::max(columnCount, 1))
{
    const double usable = viewportWidth - 2 * padding - spacing * (columns - 1);
    cellWidth = std::max(usable / columns, minCellWidth);
    cellHeight = cellWidth / (aspectRatio > 0 ? aspectRatio : 0.75);
}

int GalleryGridGeometry::rowCount(int itemCount) const
{
    return itemCount <= 0 ? 0 : (itemCount + columns - 1) / columns;
}

double GalleryGridGeometry::contentHeight(int itemCount) const
{
    const int rows = rowCount(itemCount);
    return rows == 0 ? 0 : 2 * padding + rows * cellHeight + (rows - 1) * spacing;
}

QRectF GalleryGridGeometry::cellRect(int index) const
{
    const int row = index / columns;
    const int column = index % columns;
    return { padding + column * columnPitch(), padding + row * rowPitch(), cellWidth, cellHeight };
}

int GalleryGridGeometry::indexAt(QPointF point, int itemCount) const
{
    const int index = slotIndexAt(point, itemCount);
    if (index < 0 || !cellRect(index).contains(point))
        return -1;
    return index;
}

int GalleryGridGeometry::slotIndexAt(QPointF point, int itemCount) const
{
    if (itemCount <= 0)
        return -1;
    const double y = point.y() - padding + spacing / 2;
    const double x = point.x() - padding + spacing / 2;
    if (y < 0)
        return -1;
    const int row = int(y / rowPitch());
    if (row >= rowCount(itemCount))
        return -1;
    const int column = std::clamp(int(std::floor(x / columnPitch())), 0, columns - 1);
    if (x < 0)
        return -1;
    const int index = row * columns + column;
    if (index >= itemCount)
        return row == rowCount(itemCount) - 1 ? itemCount - 1 : -1;
    return index;
}

std::pair<int, int> GalleryGridGeometry::indexRange(double top, double bottom, int itemCount) const
{
    if (itemCount <= 0 || bottom <= top)
        return { 0, 0 };
    const int firstRow = std::max(int(std::floor((top - padding) / rowPitch())), 0);
    const int lastRow = std::max(int(std::floor((bottom - padding) / rowPitch())), 0);
    const int first = std::min(firstRow * columns, itemCount);
    const int end = std::min((lastRow + 1) * columns, itemCount);
    return { first, std::max(first, end) };
}
