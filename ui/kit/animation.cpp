#include "animation.h"

#include <cmath>
#include <numbers>

namespace AppAnimation {

double springProgress(const Spring &spring, double seconds)
{
    if (seconds <= 0)
        return 0;
    const double omega = 2 * std::numbers::pi / std::max(spring.response, 0.001);
    const double zeta = std::clamp(spring.dampingFraction, 0.0, 1.0);
    if (zeta >= 1.0) {
        // Critically damped: no overshoot.
        return 1 - std::exp(-omega * seconds) * (1 + omega * seconds);
    }
    const double damped = omega * std::sqrt(1 - zeta * zeta);
    const double decay = std::exp(-zeta * omega * seconds);
    return 1 - decay * (std::cos(damped * seconds) + zeta * omega / damped * std::sin(damped * seconds));
}

int settleMilliseconds(const Spring &spring)
{
    const double omega = 2 * std::numbers::pi / std::max(spring.response, 0.001);
    const double zeta = std::clamp(spring.dampingFraction, 0.05, 1.0);
    // The envelope falls below 0.2 % of the distance: under a point for any
    // pane or tilt the interface moves.
    const double seconds = std::log(500.0) / (zeta * omega);
    return int(std::ceil(seconds * 1000));
}

} // namespace AppAnimation

SpringAnimation::SpringAnimation(AppAnimation::Spring spring, QObject *parent)
    : QVariantAnimation(parent), m_spring(spring)
{
    setDuration(AppAnimation::settleMilliseconds(spring));
}

void SpringAnimation::setSpring(AppAnimation::Spring spring)
{
    m_spring = spring;
    setDuration(AppAnimation::settleMilliseconds(spring));
}

QVariant SpringAnimation::interpolated(const QVariant &from, const QVariant &to, qreal progress) const
{
    // The easing curve stays linear, so `progress` is the elapsed share of
    // the duration; the last frame lands exactly on the target.
    if (progress >= 1.0)
        return to;
    const double seconds = progress * duration() / 1000.0;
    return QVariantAnimation::interpolated(from, to, AppAnimation::springProgress(m_spring, seconds));
}
