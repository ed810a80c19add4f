#include "backgroundwork.h"

namespace BackgroundWork {

QThreadPool &pool()
{
    static QThreadPool *const single = [] {
        auto *created = new QThreadPool;
        created->setMaxThreadCount(1);
        created->setExpiryTimeout(30000);
        return created;
    }();
    return *single;
}

} // namespace BackgroundWork
