#include "accessibility.h"

#include "painting.h"

#include <QAbstractButton>
#include <QAccessibleWidget>
#include <QEvent>
#include <QPainter>
#include <QPointer>
#include <QWidget>

namespace {

const char valueProperty[] = "lunvikAccessibleValue";

// A button with a value of its own: Qt's buttons report none.
class ValueButtonAccessible : public QAccessibleWidget
{
public:
    explicit ValueButtonAccessible(QAbstractButton *button)
        : QAccessibleWidget(button, button->isCheckable() ? QAccessible::CheckBox : QAccessible::Button)
    {
    }

    QAbstractButton *button() const { return static_cast<QAbstractButton *>(widget()); }

    QString text(QAccessible::Text t) const override
    {
        switch (t) {
        case QAccessible::Name: {
            QString name = widget()->accessibleName();
            if (name.isEmpty())
                name = button()->text();
            if (name.isEmpty())
                name = widget()->toolTip();
            return name;
        }
        case QAccessible::Value:
            return UiAccessibility::valueText(button());
        default:
            return QAccessibleWidget::text(t);
        }
    }

    QAccessible::State state() const override
    {
        QAccessible::State s = QAccessibleWidget::state();
        s.checkable = button()->isCheckable();
        s.checked = button()->isChecked();
        s.pressed = button()->isDown();
        return s;
    }

    QStringList actionNames() const override
    {
        return button()->isCheckable() ? QStringList { toggleAction() } : QStringList { pressAction() };
    }
    void doAction(const QString &) override
    {
        if (button()->isEnabled())
            button()->click();
    }
    QStringList keyBindingsForAction(const QString &) const override { return {}; }
};

QAccessibleInterface *valueButtonFactory(const QString &, QObject *object)
{
    auto *button = qobject_cast<QAbstractButton *>(object);
    if (button && button->property(valueProperty).isValid())
        return new ValueButtonAccessible(button);
    return nullptr;
}

// Paints the ring after the widget has painted: the paint event is handed to
// the widget first, from inside the filter.
class FocusRing : public QObject
{
public:
    FocusRing(QWidget *widget, double radius)
        : QObject(widget)
        , m_radius(radius)
    {
        widget->installEventFilter(this);
    }

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (event->type() == QEvent::FocusIn || event->type() == QEvent::FocusOut) {
            static_cast<QWidget *>(watched)->update();
            return false;
        }
        if (event->type() != QEvent::Paint || m_painting)
            return false;
        auto *widget = static_cast<QWidget *>(watched);
        if (!widget->hasFocus())
            return false;
        m_painting = true;
        // QObject::event is public; the widget paints as it always does.
        static_cast<QObject *>(widget)->event(event);
        m_painting = false;
        QPainter painter(widget);
        painter.setRenderHint(QPainter::Antialiasing);
        painter.setPen(QPen(UiColors::accent(), 2));
        painter.setBrush(Qt::NoBrush);
        const QRectF ring = QRectF(widget->rect()).adjusted(1, 1, -1, -1);
        const double radius = std::min(m_radius, ring.height() / 2);
        painter.drawRoundedRect(ring, radius, radius);
        return true;
    }

private:
    double m_radius;
    bool m_painting = false;
};

} // namespace

namespace UiAccessibility {

namespace {
EventObserver &observer()
{
    static EventObserver instance;
    return instance;
}
} // namespace

void post(QAccessibleEvent &event)
{
    QAccessible::updateAccessibility(&event);
    if (observer())
        observer()(event);
}

void setEventObserver(EventObserver eventObserver)
{
    observer() = std::move(eventObserver);
}

void notify(QWidget *widget, QAccessible::Event type)
{
    if (!widget)
        return;
    QAccessibleEvent event(widget, type);
    post(event);
}

void setName(QWidget *widget, const QString &name)
{
    if (widget->accessibleName() == name)
        return;
    widget->setAccessibleName(name);
    notify(widget, QAccessible::NameChanged);
}

void setDescription(QWidget *widget, const QString &description)
{
    if (widget->accessibleDescription() == description)
        return;
    widget->setAccessibleDescription(description);
    notify(widget, QAccessible::DescriptionChanged);
}

void setValueText(QAbstractButton *button, const QString &value)
{
    static const bool installed = [] {
        QAccessible::installFactory(valueButtonFactory);
        return true;
    }();
    Q_UNUSED(installed);
    const QVariant old = button->property(valueProperty);
    button->setProperty(valueProperty, value);
    if (!old.isValid()) {
        // Qt may have made the button's interface already (its own change
        // events do); the next one asked for is ours.
        QAccessibleInterface *made = QAccessible::queryAccessibleInterface(button);
        if (made && !dynamic_cast<ValueButtonAccessible *>(made))
            QAccessible::deleteAccessibleInterface(QAccessible::uniqueId(made));
    }
    if (old.isValid() && old.toString() != value) {
        QAccessibleValueChangeEvent event(button, value);
        post(event);
    }
}

QString valueText(const QAbstractButton *button)
{
    return button->property(valueProperty).toString();
}

void installFocusRing(QWidget *widget, double radius)
{
    new FocusRing(widget, radius);
}

} // namespace UiAccessibility
