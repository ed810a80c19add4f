// A demo gallery for a fresh data folder: a dozen painted landscapes and
// patterns in assorted shapes (landscape, portrait, square, panorama),
// uploaded by three family members, one of them current, and one simulated
// frame, "Living room". Everything is painted without text, since only a
// QCoreApplication exists.
#pragma once

#include <QImage>
#include <QList>
#include <QString>

class GalleryStore;

namespace DemoGallery {

struct DemoPhoto {
    QString filename;
    QString uploadedBy;
    QImage image;
};

QList<DemoPhoto> photos();

// Adds the demo photos and frame through the store's own changes; throws
// ApiError when one fails.
void seed(GalleryStore &store);

} // namespace DemoGallery
