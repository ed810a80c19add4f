// The two-way switch between "Photo" and "E-paper" that the device preview
// and the lightbox show: the photo as a screen shows it, or as the frames'
// six-ink panel will. Every switch follows the store's setting, so the two
// places always agree, and a click changes the setting (saved, so the
// choice holds across runs).
#pragma once

#include "model/appsettings.h"

#include <QPointer>
#include <QWidget>

class GalleryStore;
class QToolButton;

class PreviewAppearanceSwitch : public QWidget
{
    Q_OBJECT
public:
    explicit PreviewAppearanceSwitch(GalleryStore &store, QWidget *parent = nullptr);

    QToolButton *photoButton() const { return m_photo; }
    QToolButton *epaperButton() const { return m_epaper; }
    PreviewAppearance shown() const;

    // The other appearance (the lightbox's E key).
    static void toggle(GalleryStore &store);

private:
    void follow();

    QPointer<GalleryStore> m_store;
    QToolButton *m_photo;
    QToolButton *m_epaper;
};
