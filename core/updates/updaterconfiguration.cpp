// The update configuration compiled into this build; kept apart so that
// changing the CMake cache values rebuilds this file alone.
#include "updatercontroller.h"

#include "updatebuildconfig.h"

UpdaterConfiguration UpdaterConfiguration::fromBuild()
{
    return UpdaterConfiguration { QStringLiteral(LUNVIK_UPDATE_FEED_URL), QStringLiteral(LUNVIK_UPDATE_PUBLIC_KEY),
        QStringLiteral(LUNVIK_UPDATE_CURRENT_VERSION) };
}
