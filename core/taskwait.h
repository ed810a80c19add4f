// Blocking on a coroutine from plain code (a command-line main, a test):
// runs a nested event loop until the task ends and returns its value or
// rethrows its exception. QCoro::waitFor cannot be used for tasks that may
// throw: it never leaves its loop when the task ends with an exception.
#pragma once

#include <QEventLoop>

#include <qcoro/qcorotask.h>

#include <exception>
#include <optional>
#include <type_traits>

namespace TaskWait {

namespace detail {

struct Outcome {
    std::exception_ptr error;
    bool done = false;
    QEventLoop *loop = nullptr;

    void finish()
    {
        done = true;
        if (loop)
            loop->quit();
    }
};

template<typename T>
QCoro::Task<> collect(QCoro::Task<T> task, std::optional<T> *value, Outcome *outcome)
{
    try {
        *value = co_await task;
    } catch (...) {
        outcome->error = std::current_exception();
    }
    outcome->finish();
}

inline QCoro::Task<> collectVoid(QCoro::Task<> task, Outcome *outcome)
{
    try {
        co_await task;
    } catch (...) {
        outcome->error = std::current_exception();
    }
    outcome->finish();
}

} // namespace detail

template<typename T>
T run(QCoro::Task<T> task)
{
    QEventLoop loop;
    detail::Outcome outcome;
    if constexpr (std::is_void_v<T>) {
        auto runner = detail::collectVoid(std::move(task), &outcome);
        if (!outcome.done) {
            outcome.loop = &loop;
            loop.exec();
        }
        if (outcome.error)
            std::rethrow_exception(outcome.error);
    } else {
        std::optional<T> value;
        auto runner = detail::collect(std::move(task), &value, &outcome);
        if (!outcome.done) {
            outcome.loop = &loop;
            loop.exec();
        }
        if (outcome.error)
            std::rethrow_exception(outcome.error);
        return std::move(*value);
    }
}

} // namespace TaskWait
