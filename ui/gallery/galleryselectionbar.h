// The floating bar at the bottom of the grid while photos are selected and
// no lightbox is open: how many photos are selected, "Show for today" when
// exactly one is, and "Delete". It slides in from the bottom edge and fades
// in, and goes the same way.
#pragma once

#include "ui/kit/galleryphotoactions.h"

#include <QPointer>
#include <QWidget>

#include <optional>

class CapsuleButton;
class GalleryStore;
class GallerySelectionStore;
class QGraphicsOpacityEffect;
class QLabel;
class QParallelAnimationGroup;

class GallerySelectionBar : public QWidget
{
    Q_OBJECT
public:
    // Distance from the bottom of the area the bar floats over.
    static constexpr int bottomMargin = 16;

    // Floats over `area` (the grid), which it follows in size.
    GallerySelectionBar(GalleryStore &store, QWidget *area);

    void setDeleteRequest(GalleryDeleteRequestAction request);

    // "1 photo selected", "3 photos selected".
    static QString selectionLabel(int count);
    // The one selected photo, when exactly one is selected.
    static std::optional<QString> singleSelectedID(const GallerySelectionStore &selection);
    // Photos are selected and no lightbox is open.
    static bool showsSelectionBar(const GallerySelectionStore &selection);

    // Whether the bar is (or is on its way to being) shown.
    bool isPresented() const { return m_presented; }
    QString labelText() const;
    CapsuleButton *showForTodayButton() const { return m_showToday; }
    CapsuleButton *deleteButton() const { return m_delete; }

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;
    void paintEvent(QPaintEvent *event) override;

private:
    void follow();
    void place();
    QRect restingGeometry() const;
    void present(bool show);

    QPointer<GalleryStore> m_store;
    QWidget *m_area;
    GalleryDeleteRequestAction m_deleteRequest;
    QLabel *m_label;
    CapsuleButton *m_showToday;
    CapsuleButton *m_delete;
    QGraphicsOpacityEffect *m_opacity;
    QParallelAnimationGroup *m_animation;
    bool m_presented = false;
};
