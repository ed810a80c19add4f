// What assistive technology needs from the widgets beyond Qt's own: a
// spoken value for toggle buttons ("Shown"/"Hidden"), explicit change
// events for the texts that report progress or status, and a focus ring for
// widgets that paint themselves and would otherwise hide the keyboard focus.
#pragma once

#include <QAccessible>
#include <QString>

#include <functional>

class QAbstractButton;
class QWidget;

namespace UiAccessibility {

// Sends `event` to assistive technology. Qt hands events to its update
// handler only while a platform's accessibility is active, which no
// screen reader makes it under the offscreen platform; the observer sees
// every event sent here regardless (tests).
void post(QAccessibleEvent &event);
using EventObserver = std::function<void(QAccessibleEvent &event)>;
void setEventObserver(EventObserver observer);

// Tells assistive technology that `type` changed on `widget` (the name of a
// status text, the value of a progress bar).
void notify(QWidget *widget, QAccessible::Event type);

// Sets the accessible name and tells when it changed; a screen reader reads
// the new text of the widget that shows it.
void setName(QWidget *widget, const QString &name);
void setDescription(QWidget *widget, const QString &description);

// The spoken value of a button that switches something on and off, read
// after its name ("Device preview, Shown").
void setValueText(QAbstractButton *button, const QString &value);
QString valueText(const QAbstractButton *button);

// Draws a rounded ring in the accent colour around `widget` while it has the
// keyboard focus, on top of whatever it paints itself.
void installFocusRing(QWidget *widget, double radius = 5);

} // namespace UiAccessibility
