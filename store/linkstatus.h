// The state of a link (to the gallery server, to the frames) as the
// connection pills show it.
#pragma once

#include <QString>

enum class LinkStatus { up, down, checking, notApplicable };

inline QString toRawValue(LinkStatus status)
{
    switch (status) {
    case LinkStatus::up:
        return QStringLiteral("up");
    case LinkStatus::down:
        return QStringLiteral("down");
    case LinkStatus::checking:
        return QStringLiteral("checking");
    case LinkStatus::notApplicable:
        return QStringLiteral("notApplicable");
    }
    return {};
}
