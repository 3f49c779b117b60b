#pragma once

#include <exception>
#include <optional>
#include <qcoro/qcorotask.h>
#include <type_traits>
#include <utility>

namespace larkhold::test {

namespace detail {

template <class T> QCoro::Task<std::optional<T>> catchingValue(QCoro::Task<T> task, std::exception_ptr& error) {
    try {
        T value = co_await task;
        co_return std::optional<T>(std::move(value));
    } catch (...) {
        error = std::current_exception();
    }
    co_return std::nullopt;
}

inline QCoro::Task<> catchingVoid(QCoro::Task<> task, std::exception_ptr& error) {
    try {
        co_await task;
    } catch (...) {
        error = std::current_exception();
    }
}

} // namespace detail

// Runs a task to its end in a nested event loop and returns its result or rethrows its exception.
// QCoro::waitFor alone never returns when the task throws: its event loop is never told to quit.
template <class T> T awaitTask(QCoro::Task<T> task) {
    std::exception_ptr error;
    if constexpr (std::is_void_v<T>) {
        QCoro::waitFor(detail::catchingVoid(std::move(task), error));
        if (error)
            std::rethrow_exception(error);
    } else {
        std::optional<T> result = QCoro::waitFor(detail::catchingValue(std::move(task), error));
        if (error)
            std::rethrow_exception(error);
        return std::move(*result);
    }
}

} // namespace larkhold::test
