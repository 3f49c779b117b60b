#pragma once

#include <QEventLoop>
#include <exception>
#include <optional>
#include <qcoro/qcorotask.h>
#include <type_traits>
#include <utility>

namespace larkhold {

namespace detail {

template <class T> struct BlockingOutcome {
    std::conditional_t<std::is_void_v<T>, bool, std::optional<T>> value{};
    std::exception_ptr error;
    bool done = false;
};

// Awaits the task and catches what it throws, so that it always reaches the end and quits the loop.
// A free coroutine, not a lambda: a coroutine lambda's captures die with the lambda object.
template <class T> QCoro::Task<> runToEnd(QCoro::Task<T> task, BlockingOutcome<T>& outcome, QEventLoop& loop) {
    try {
        if constexpr (std::is_void_v<T>) {
            co_await task;
        } else {
            outcome.value.emplace(co_await task);
        }
    } catch (...) {
        outcome.error = std::current_exception();
    }
    outcome.done = true;
    loop.quit();
}

} // namespace detail

// Runs a task to its end on this thread, in a nested event loop, and returns its result or
// rethrows its error. For code that must block: the self-test's sequential steps and tests.
// QCoro::waitFor of the QCoro version we build with never returns when the task throws, because
// its event loop is never told to quit.
template <class T> T awaitTask(QCoro::Task<T> task) {
    QEventLoop loop;
    detail::BlockingOutcome<T> outcome;
    QCoro::Task<> running = detail::runToEnd(std::move(task), outcome, loop);
    if (!outcome.done) // a task that finished without suspending has already called quit()
        loop.exec();
    if (outcome.error)
        std::rethrow_exception(outcome.error);
    if constexpr (!std::is_void_v<T>)
        return std::move(*outcome.value);
}

} // namespace larkhold
