// The screen of an open gallery: the photo grid with its toolbar, and the
// activity log pane beside it. It reads the store's published state and
// starts its operations; it never talks to the server or the files.
#pragma once

#include <QWidget>

class ActivityLogStore;
class AppChromeState;
class AppSession;
class GalleryStore;

class GalleryScreen : public QWidget
{
    Q_OBJECT
public:
    GalleryScreen(GalleryStore &store, AppSession &session, AppChromeState &chrome, ActivityLogStore &log,
                  QWidget *parent = nullptr);
    ~GalleryScreen() override;
};
