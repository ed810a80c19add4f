// The grid as assistive technology sees it: a list whose items are the
// painted thumbnails. Each cell has the photo's file name as its name, who
// added it and its tag as its description, its selected and focused state
// and its place on screen; pressing it opens the lightbox.
#include "galleryphotogrid.h"

#include "store/gallerystore.h"

#include <QAccessibleWidget>
#include <QHash>
#include <QPointer>
#include <QSet>

namespace {

class GridCellAccessible : public QAccessibleInterface, public QAccessibleActionInterface
{
public:
    GridCellAccessible(GalleryPhotoGrid *grid, QString photoID)
        : m_grid(grid)
        , m_photoID(std::move(photoID))
    {
    }

    int index() const { return m_grid ? int(m_grid->photoOrder().indexOf(m_photoID)) : -1; }

    bool isValid() const override { return index() >= 0; }
    QObject *object() const override { return nullptr; }
    QWindow *window() const override { return m_grid ? m_grid->window()->windowHandle() : nullptr; }
    QAccessibleInterface *parent() const override { return QAccessible::queryAccessibleInterface(m_grid); }
    QAccessibleInterface *child(int) const override { return nullptr; }
    int childCount() const override { return 0; }
    int indexOfChild(const QAccessibleInterface *) const override { return -1; }
    QAccessibleInterface *childAt(int, int) const override { return nullptr; }
    QAccessible::Role role() const override { return QAccessible::ListItem; }
    void setText(QAccessible::Text, const QString &) override { }

    QString text(QAccessible::Text t) const override
    {
        const int i = index();
        if (i < 0)
            return {};
        if (t == QAccessible::Name)
            return m_grid->cellAccessibleName(i);
        if (t == QAccessible::Description)
            return m_grid->cellAccessibleDescription(i);
        return {};
    }

    QRect rect() const override
    {
        const int i = index();
        if (i < 0)
            return {};
        const QRect cell = m_grid->visualRect(i);
        return QRect(m_grid->viewport()->mapToGlobal(cell.topLeft()), cell.size());
    }

    QAccessible::State state() const override
    {
        QAccessible::State s;
        const int i = index();
        if (i < 0) {
            s.invalid = true;
            return s;
        }
        s.selectable = true;
        s.multiSelectable = true;
        s.extSelectable = true;
        s.focusable = true;
        s.selected = m_grid->isCellSelected(i);
        s.focused = m_grid->hasFocus() && m_grid->focusedIndex() == i;
        const QRect cell = m_grid->visualRect(i);
        s.offscreen = !m_grid->viewport()->rect().intersects(cell);
        s.invisible = !m_grid->isVisible();
        return s;
    }

    void *interface_cast(QAccessible::InterfaceType type) override
    {
        if (type == QAccessible::ActionInterface)
            return static_cast<QAccessibleActionInterface *>(this);
        return nullptr;
    }

    // Press opens the photo large; focusing the cell selects it.
    QStringList actionNames() const override { return { pressAction(), setFocusAction() }; }
    void doAction(const QString &action) override
    {
        if (!isValid() || !m_grid->isKeyboardHandlingEnabled())
            return;
        GalleryStore *store = m_grid->store();
        if (!store)
            return;
        if (action == pressAction()) {
            store->selection().openLightbox(m_photoID);
        } else if (action == setFocusAction()) {
            m_grid->handleGridPhotoTap(m_photoID, {});
            m_grid->setFocus(Qt::OtherFocusReason);
        }
    }
    QStringList keyBindingsForAction(const QString &) const override { return {}; }

private:
    QPointer<GalleryPhotoGrid> m_grid;
    QString m_photoID;
};

class GridAccessible : public QAccessibleWidget
{
public:
    explicit GridAccessible(GalleryPhotoGrid *grid)
        : QAccessibleWidget(grid, QAccessible::List)
    {
    }

    ~GridAccessible() override
    {
        for (const QAccessible::Id id : std::as_const(m_cells))
            QAccessible::deleteAccessibleInterface(id);
    }

    GalleryPhotoGrid *grid() const { return static_cast<GalleryPhotoGrid *>(widget()); }

    // The cells, then what floats over them (the selection bar) and the
    // scroll bar; the viewport is what the cells stand for.
    int childCount() const override { return int(grid()->photoOrder().size() + widgetChildren().size()); }

    QAccessibleInterface *child(int index) const override
    {
        const QList<QString> &order = grid()->photoOrder();
        if (index >= order.size())
            return widgetChildren().value(index - order.size());
        if (index < 0)
            return nullptr;
        forgetRemovedCells();
        const QString &id = order.at(index);
        if (const auto known = m_cells.constFind(id); known != m_cells.constEnd())
            return QAccessible::accessibleInterface(*known);
        auto *cell = new GridCellAccessible(grid(), id);
        m_cells.insert(id, QAccessible::registerAccessibleInterface(cell));
        return cell;
    }

    int indexOfChild(const QAccessibleInterface *child) const override
    {
        if (const int other = int(widgetChildren().indexOf(const_cast<QAccessibleInterface *>(child))); other >= 0)
            return int(grid()->photoOrder().size()) + other;
        for (auto it = m_cells.constBegin(); it != m_cells.constEnd(); ++it)
            if (QAccessible::accessibleInterface(*it) == child)
                return int(grid()->photoOrder().indexOf(it.key()));
        return -1;
    }

    QAccessibleInterface *childAt(int x, int y) const override
    {
        for (QAccessibleInterface *other : widgetChildren())
            if (!other->state().invisible && other->rect().contains(x, y))
                return other;
        const int index = grid()->indexAt(grid()->viewport()->mapFromGlobal(QPoint(x, y)));
        return index >= 0 ? child(index) : nullptr;
    }

    QAccessibleInterface *focusChild() const override
    {
        return grid()->hasFocus() ? child(grid()->focusedIndex()) : nullptr;
    }

    QAccessible::State state() const override
    {
        QAccessible::State s = QAccessibleWidget::state();
        s.multiSelectable = true;
        s.extSelectable = true;
        return s;
    }

private:
    QList<QAccessibleInterface *> widgetChildren() const
    {
        QList<QAccessibleInterface *> children;
        for (int i = 0; i < QAccessibleWidget::childCount(); ++i) {
            QAccessibleInterface *other = QAccessibleWidget::child(i);
            if (other && other->object() != grid()->viewport())
                children.append(other);
        }
        return children;
    }

    // Cells of photos that left the gallery go with them.
    void forgetRemovedCells() const
    {
        const QList<QString> &order = grid()->photoOrder();
        if (order == m_prunedFor)
            return;
        m_prunedFor = order;
        const QSet<QString> shown(order.begin(), order.end());
        for (auto it = m_cells.begin(); it != m_cells.end();) {
            if (!shown.contains(it.key())) {
                QAccessible::deleteAccessibleInterface(*it);
                it = m_cells.erase(it);
            } else {
                ++it;
            }
        }
    }

    mutable QHash<QString, QAccessible::Id> m_cells;
    mutable QList<QString> m_prunedFor;
};

QAccessibleInterface *gridFactory(const QString &className, QObject *object)
{
    if (className == QLatin1String("GalleryPhotoGrid") && object && object->isWidgetType())
        return new GridAccessible(static_cast<GalleryPhotoGrid *>(object));
    return nullptr;
}

} // namespace

void installGalleryPhotoGridAccessibility()
{
    static const bool installed = [] {
        QAccessible::installFactory(gridFactory);
        return true;
    }();
    Q_UNUSED(installed);
}
