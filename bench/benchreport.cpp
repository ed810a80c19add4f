#include "benchreport.h"

#include <QStringList>

#include <algorithm>

namespace {

QString number(double value, const QString &unit)
{
    const int decimals = value < 10 ? 2 : (value < 100 ? 1 : 0);
    return QString::number(value, 'f', decimals) + QLatin1Char(' ') + unit;
}

QString range(const QList<double> &values, const QString &unit)
{
    if (values.isEmpty())
        return QStringLiteral("-");
    const auto [low, high] = std::minmax_element(values.begin(), values.end());
    const int decimals = *high < 10 ? 2 : (*high < 100 ? 1 : 0);
    return QString::number(*low, 'f', decimals) + QStringLiteral("–") + QString::number(*high, 'f', decimals)
        + QLatin1Char(' ') + unit;
}

} // namespace

namespace BenchReport {

double median(QList<double> values)
{
    if (values.isEmpty())
        return 0;
    std::sort(values.begin(), values.end());
    const qsizetype n = values.size();
    return n % 2 ? values.at(n / 2) : (values.at(n / 2 - 1) + values.at(n / 2)) / 2;
}

QString verdict(const BenchCase &c)
{
    if (!c.failure.isEmpty() || c.samples.isEmpty())
        return QStringLiteral("failed");
    switch (c.target) {
    case BenchCase::Target::ratioToPeer: {
        const double peer = median(c.peerSamples);
        if (peer <= 0)
            return QStringLiteral("failed");
        return median(c.samples) / peer <= c.targetValue ? QStringLiteral("ok") : QStringLiteral("MISSED");
    }
    case BenchCase::Target::below:
        return median(c.samples) < c.targetValue ? QStringLiteral("ok") : QStringLiteral("MISSED");
    case BenchCase::Target::none:
        break;
    }
    return QStringLiteral("-");
}

QString table(const QList<BenchCase> &cases)
{
    QList<QStringList> rows;
    rows << QStringList{QStringLiteral("case"), QStringLiteral("median"), QStringLiteral("min–max"),
                        QStringLiteral("peer median (same run)"), QStringLiteral("ratio / target"),
                        QStringLiteral("result")};
    for (const BenchCase &c : cases) {
        QString peer = QStringLiteral("-");
        QString ratio = QStringLiteral("-");
        if (c.target == BenchCase::Target::ratioToPeer) {
            const double peerMedian = median(c.peerSamples);
            peer = c.peerSamples.isEmpty() ? QStringLiteral("-") : number(peerMedian, c.unit) + QStringLiteral(" ") + c.peerName;
            ratio = (peerMedian > 0 && !c.samples.isEmpty()
                         ? QStringLiteral("%1×").arg(median(c.samples) / peerMedian, 0, 'f', 2)
                         : QStringLiteral("-"))
                + QStringLiteral(" / ≤ %1×").arg(c.targetValue, 0, 'f', 2);
        } else if (c.target == BenchCase::Target::below) {
            ratio = QStringLiteral("< ") + number(c.targetValue, c.unit);
        }
        const bool ran = !c.samples.isEmpty();
        rows << QStringList{c.name, ran ? number(median(c.samples), c.unit) : QStringLiteral("-"),
                            range(c.samples, c.unit), peer, ratio,
                            verdict(c) + (c.failure.isEmpty() ? QString() : QStringLiteral(": ") + c.failure)};
    }
    QList<qsizetype> widths(rows.first().size(), 0);
    for (const QStringList &row : rows)
        for (qsizetype i = 0; i < row.size(); ++i)
            widths[i] = std::max(widths[i], row.at(i).size());
    QString out;
    for (qsizetype r = 0; r < rows.size(); ++r) {
        QStringList cells;
        for (qsizetype i = 0; i < rows.at(r).size(); ++i)
            cells << rows.at(r).at(i).leftJustified(widths[i]);
        out += QStringLiteral("| ") + cells.join(QStringLiteral(" | ")) + QStringLiteral(" |\n");
        if (r == 0) {
            QStringList rule;
            for (const qsizetype w : widths)
                rule << QString(w, QLatin1Char('-'));
            out += QStringLiteral("|-") + rule.join(QStringLiteral("-|-")) + QStringLiteral("-|\n");
        }
    }
    return out;
}

} // namespace BenchReport
