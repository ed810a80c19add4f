// The log line reader: a line it accepts is written back as one line (no
// line feed inside) that reads as the same record.
#include "log/logentry.h"

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray line(reinterpret_cast<const char *>(data), qsizetype(size));
    const auto entry = LogEntry::fromLine(line);
    if (!entry)
        return 0;
    const QByteArray written = entry->toLine();
    if (written.contains('\n') || written.contains('\r'))
        std::abort();
    const auto again = LogEntry::fromLine(written);
    if (!again)
        std::abort();
    // The file keeps whole seconds in UTC.
    if (again->id != entry->id || again->category != entry->category || again->level != entry->level
        || again->message != entry->message || again->detail != entry->detail
        || again->timestamp != entry->timestamp.addMSecs(-entry->timestamp.time().msec()))
        std::abort();
    return 0;
}
