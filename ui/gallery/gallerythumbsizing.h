// The sizes of the gallery grid: how wide and tall a thumbnail cell is for a
// given width and column count, at what pixel size its image is decoded, and
// which server thumbnail width is fetched for it.
#pragma once

#include <QRectF>
#include <QSizeF>

namespace GalleryThumbSizing {

inline constexpr int minPixelSize = 280;
inline constexpr int maxPixelSizeCap = 4096;
inline constexpr int minColumnCount = 2;
inline constexpr int maxColumnCount = 8;

// The longest side, in pixels, to decode a thumbnail at:
// ceil(max(cellWidth, cellHeight) × backingScale × 1.05) within [280, 4096].
int maxPixelSize(double cellWidth, double cellHeight, double backingScale);

// The width of the server thumbnail to fetch for a decode of `maxPixelSize`:
// rounded up to a multiple of 256, at most 1024.
int thumbnailDownloadWidth(int maxPixelSize);

// Width / height of every thumbnail: the frame's screen shape when it is
// known, never wider than square; portrait 3:4 otherwise.
double thumbAspectRatio(double deviceScreenAspectRatio);

// The column count setting kept within what the grid offers.
int clampedColumnCount(int columns);

} // namespace GalleryThumbSizing

// Where the cells of the grid sit. Cells are laid out left to right, top to
// bottom, in equal flexible columns, with a padding around the whole grid and
// a spacing between cells.
struct GalleryGridGeometry {
    static constexpr double padding = 14;
    static constexpr double spacing = 10;
    static constexpr double minCellWidth = 10;

    GalleryGridGeometry() = default;
    GalleryGridGeometry(double viewportWidth, int columns, double aspectRatio);

    int columns = 1;
    double cellWidth = minCellWidth;
    double cellHeight = minCellWidth;

    double rowPitch() const { return cellHeight + spacing; }
    double columnPitch() const { return cellWidth + spacing; }
    int rowCount(int itemCount) const;
    double contentHeight(int itemCount) const;
    QRectF cellRect(int index) const;
    // The cell under `point` (content coordinates), or -1.
    int indexAt(QPointF point, int itemCount) const;
    // The cell whose slot (the cell and half the spacing around it) holds
    // `point`; positions right of the last cell of the last row count as
    // that cell. -1 outside every slot.
    int slotIndexAt(QPointF point, int itemCount) const;
    // The first and one past the last index of the rows that meet the band
    // [top, bottom) of content coordinates.
    std::pair<int, int> indexRange(double top, double bottom, int itemCount) const;
};
