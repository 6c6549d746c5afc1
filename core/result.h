#pragma once

#include <type_traits>
#include <utility>
#include <variant>

namespace merriphonic {

// The value of an operation that only succeeds or fails.
struct Done {
    bool operator==(const Done&) const = default;
};

// A value or the error that prevented it: how code above the core reports a failure to its
// caller. The error type belongs to the domain (MediaError, RadioError, a message text).
template <typename T, typename E>
class Result {
    static_assert(!std::is_same_v<T, E>, "a result must tell its value from its error by type");

public:
    Result(T value) : state_(std::in_place_index<0>, std::move(value)) {}
    Result(E error) : state_(std::in_place_index<1>, std::move(error)) {}

    [[nodiscard]] bool ok() const { return state_.index() == 0; }
    explicit operator bool() const { return ok(); }

    [[nodiscard]] T& value() & { return std::get<0>(state_); }
    [[nodiscard]] const T& value() const& { return std::get<0>(state_); }
    [[nodiscard]] T&& value() && { return std::get<0>(std::move(state_)); }
    T& operator*() & { return value(); }
    const T& operator*() const& { return value(); }
    T* operator->() { return &value(); }
    const T* operator->() const { return &value(); }

    [[nodiscard]] const E& error() const& { return std::get<1>(state_); }
    [[nodiscard]] E&& error() && { return std::get<1>(std::move(state_)); }

    bool operator==(const Result&) const = default;

private:
    std::variant<T, E> state_;
};

} // namespace merriphonic
