// The benchmark cases that run inside a process of their own
// (`lunvik-bench measure CASE ...`), on the product's own code paths. Each
// runs its warm-up rounds, then prints one line per measured round:
//   sample SERIES VALUE
// where SERIES names what was measured (the same case may report several)
// and VALUE is in milliseconds, or megabytes for memory.
//
// The support folder is taken from XDG_DATA_HOME once per process, which is
// why every case gets a process with its own environment.
#pragma once

#include <QStringList>

namespace BenchMeasure {

// Returns the process's exit status; usage errors go to standard error.
int run(const QString &caseName, const QStringList &arguments, int warmups, int iterations);

} // namespace BenchMeasure
