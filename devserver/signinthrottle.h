// Makes guessing the family password slow: after `maxFailures` wrong
// passwords from one address within `window`, that address's sign-ins are
// refused for `block`, the right password included. IPv6 addresses count by
// their /64 network, which one home device can pick addresses from at will.
#pragma once

#include <QHash>
#include <QString>

#include <chrono>
#include <deque>
#include <mutex>
#include <optional>

class SignInThrottle
{
public:
    using Clock = std::chrono::steady_clock;

    struct Limits {
        int maxFailures = 10;
        Clock::duration window = std::chrono::minutes(1);
        Clock::duration block = std::chrono::minutes(1);
    };

    explicit SignInThrottle(Limits limits);

    struct Admission {
        // While `address` is refused: the whole seconds until it may try again.
        std::optional<int> refusedFor;
        // This attempt, if wrong, is the one that starts a block.
        bool startsBlock = false;
    };
    // Called before the password is looked at. An admitted attempt counts
    // as a wrong password at once, so that attempts running side by side
    // get no more tries than attempts one after another.
    Admission admit(const QString &address, Clock::time_point now);
    // The right password: the address's failures are forgotten.
    void recordSuccess(const QString &address);

    // The key an address counts under: the address itself, or its /64.
    static QString keyOf(const QString &address);

private:
    struct Record {
        std::deque<Clock::time_point> failures; // within the window, oldest first
        std::optional<Clock::time_point> blockedUntil;
    };
    void forgetExpired(Clock::time_point now);

    const Limits m_limits;
    std::mutex m_mutex;
    QHash<QString, Record> m_records;
};
