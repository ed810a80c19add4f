#include "signinthrottle.h"

#include <QHostAddress>

#include <algorithm>

SignInThrottle::SignInThrottle(Limits limits)
    : m_limits(limits)
{
}

QString SignInThrottle::keyOf(const QString &address)
{
    QHostAddress host(address);
    if (host.protocol() != QAbstractSocket::IPv6Protocol)
        return address;
    bool mapped = false;
    const quint32 ipv4 = host.toIPv4Address(&mapped);
    if (mapped)
        return QHostAddress(ipv4).toString();
    Q_IPV6ADDR bytes = host.toIPv6Address();
    std::fill(bytes.c + 8, bytes.c + 16, quint8(0));
    return QHostAddress(bytes).toString() + QStringLiteral("/64");
}

void SignInThrottle::forgetExpired(Clock::time_point now)
{
    // Every record is looked at on each failure, so the table holds only
    // the addresses that failed within the last window or are blocked.
    for (auto it = m_records.begin(); it != m_records.end();) {
        Record &record = it.value();
        while (!record.failures.empty() && now - record.failures.front() >= m_limits.window)
            record.failures.pop_front();
        if (record.blockedUntil && now >= *record.blockedUntil)
            record.blockedUntil.reset();
        if (record.failures.empty() && !record.blockedUntil)
            it = m_records.erase(it);
        else
            ++it;
    }
}

SignInThrottle::Admission SignInThrottle::admit(const QString &address, Clock::time_point now)
{
    std::lock_guard lock(m_mutex);
    forgetExpired(now);
    Record &record = m_records[keyOf(address)];
    if (record.blockedUntil) {
        const auto remaining = std::chrono::ceil<std::chrono::seconds>(*record.blockedUntil - now);
        return {int(std::max<std::chrono::seconds::rep>(remaining.count(), 1)), false};
    }
    record.failures.push_back(now);
    if (int(record.failures.size()) < m_limits.maxFailures)
        return {std::nullopt, false};
    record.failures.clear();
    record.blockedUntil = now + m_limits.block;
    return {std::nullopt, true};
}

void SignInThrottle::recordSuccess(const QString &address)
{
    std::lock_guard lock(m_mutex);
    m_records.remove(keyOf(address));
}
