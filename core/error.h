#pragma once
// Why something failed, kept until someone can see it: the errno (0 when the cause is not a
// failed system call) and a message that says what was attempted. Calls that can fail for more
// than one reason return Expected<T>: the value, or the Error. A caller that must tell the
// reasons apart by more than the errno gets a failure type of its own, Expected<T, Failure>.
#include <cstring>
#include <optional>
#include <string>
#include <utility>

namespace qx {

struct Error {
    int code = 0;         // errno, 0 when the cause is not a system call's failure
    std::string message;  // what was attempted and why it failed

    // "<attempted>: <strerror(code)>" with the code kept.
    static Error FromErrno(int code, const std::string& attempted) {
        return {code, attempted + ": " + std::strerror(code)};
    }
};

template <typename T, typename E = Error>
class Expected {
public:
    Expected(T value) : value_(std::move(value)) {}
    Expected(E error) : error_(std::move(error)) {}

    explicit operator bool() const { return value_.has_value(); }
    T& operator*() { return *value_; }
    const T& operator*() const { return *value_; }
    T* operator->() { return &*value_; }
    const T* operator->() const { return &*value_; }
    const E& error() const { return error_; }  // empty while there is a value

private:
    std::optional<T> value_;
    E error_;
};

// For calls that have nothing to return but can fail: default-constructed is success.
template <typename E>
class Expected<void, E> {
public:
    Expected() = default;
    Expected(E error) : failed_(true), error_(std::move(error)) {}

    explicit operator bool() const { return !failed_; }
    const E& error() const { return error_; }  // empty on success

private:
    bool failed_ = false;
    E error_;
};

}  // namespace qx
