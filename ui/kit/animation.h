// The interface's two springs and an animation that follows a spring rather
// than a fixed easing curve: it overshoots and settles the way a damped
// spring does, so panes bounce a little when they are shown or hidden.
#pragma once

#include <QVariantAnimation>

namespace AppAnimation {

// A critically or under-damped spring: `response` is the period of the
// undamped oscillation in seconds, `dampingFraction` 1 means no overshoot.
struct Spring {
    double response = 0.35;
    double dampingFraction = 0.88;
};

// Panes shown or hidden.
inline constexpr Spring bouncy{0.38, 0.72};
// Cross-fades.
inline constexpr Spring smooth{0.35, 0.88};

// Share of the way from the start to the target after `seconds`, starting at
// rest: 0 at 0 s, then towards 1, above 1 while it overshoots.
double springProgress(const Spring &spring, double seconds);
// Time until the spring has settled within a fraction of a point of its
// target on any distance the interface animates.
int settleMilliseconds(const Spring &spring);

} // namespace AppAnimation

// A QVariantAnimation whose value moves along a spring. The duration is the
// spring's settle time; numbers (int, double, QPointF, QSizeF, …) overshoot
// the end value as the spring does.
class SpringAnimation : public QVariantAnimation
{
    Q_OBJECT
public:
    explicit SpringAnimation(AppAnimation::Spring spring = AppAnimation::bouncy, QObject *parent = nullptr);

    AppAnimation::Spring spring() const { return m_spring; }
    void setSpring(AppAnimation::Spring spring);

protected:
    QVariant interpolated(const QVariant &from, const QVariant &to, qreal progress) const override;

private:
    AppAnimation::Spring m_spring;
};
