#include "galleryscreen.h"

#include <QLabel>
#include <QVBoxLayout>

// A placeholder until the grid lands.
GalleryScreen::GalleryScreen(GalleryStore &, AppSession &, AppChromeState &, ActivityLogStore &, QWidget *parent)
    : QWidget(parent)
{
    auto *layout = new QVBoxLayout(this);
    layout->addWidget(new QLabel(QStringLiteral("Gallery"), this));
}

GalleryScreen::~GalleryScreen() = default;
