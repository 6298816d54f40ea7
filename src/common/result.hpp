#pragma once

#include <string>
#include <utility>
#include <variant>

namespace varnhold {

// The failure value of every scheme operation: one message, raised to Python as ValueError
// exactly as written.
struct SharingError {
    std::string message;
};

// A value or a SharingError. Scheme code returns these and never throws a SharingError.
template <class T>
class [[nodiscard]] Result {
public:
    Result(T value) : state_(std::in_place_index<0>, std::move(value)) {}
    Result(SharingError error) : state_(std::in_place_index<1>, std::move(error)) {}

    bool ok() const noexcept { return state_.index() == 0; }
    explicit operator bool() const noexcept { return ok(); }

    T& value() & { return std::get<0>(state_); }
    const T& value() const& { return std::get<0>(state_); }
    T&& value() && { return std::get<0>(std::move(state_)); }
    T& operator*() & { return value(); }
    const T& operator*() const& { return value(); }
    T* operator->() { return &value(); }
    const T* operator->() const { return &value(); }

    const SharingError& error() const& { return std::get<1>(state_); }
    SharingError&& error() && { return std::get<1>(std::move(state_)); }

private:
    std::variant<T, SharingError> state_;
};

// Success without a value, or a SharingError.
template <>
class [[nodiscard]] Result<void> {
public:
    Result() = default;
    Result(SharingError error) : error_(std::move(error)), failed_(true) {}

    bool ok() const noexcept { return !failed_; }
    explicit operator bool() const noexcept { return ok(); }
    const SharingError& error() const& { return error_; }
    SharingError&& error() && { return std::move(error_); }

private:
    SharingError error_;
    bool failed_ = false;
};

}  // namespace varnhold
