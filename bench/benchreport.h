// The results of a benchmark run and the one table they are printed as.
#pragma once

#include <QList>
#include <QString>

#include <optional>

struct BenchCase {
    enum class Target { ratioToPeer, below, none };

    QString name;
    QString unit = QStringLiteral("ms");
    QList<double> samples;
    // The peer measured in the same run, when the case has one.
    QString peerName;
    QList<double> peerSamples;
    Target target = Target::none;
    // The largest ratio to the peer's median, or the bound the median must stay under.
    double targetValue = 0;
    // Why the case has no numbers, when it failed to run.
    QString failure;
};

namespace BenchReport {

double median(QList<double> values);

// "ok", "MISSED" or "failed"; "-" for a case without a target.
QString verdict(const BenchCase &benchCase);

// The table: case, median, min–max, the peer's median, ratio or target, verdict.
QString table(const QList<BenchCase> &cases);

} // namespace BenchReport
