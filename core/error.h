#pragma once
// Why something failed, kept until someone can see it: the errno (0 when the cause is not a
// failed system call) and a message that says what was attempted. Calls that can fail for more
// than one reason return Expected<T>: the value, or the Error.
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

template <typename T>
class Expected {
public:
    Expected(T value) : value_(std::move(value)) {}
    Expected(Error error) : error_(std::move(error)) {}

    explicit operator bool() const { return value_.has_value(); }
    T& operator*() { return *value_; }
    const T& operator*() const { return *value_; }
    T* operator->() { return &*value_; }
    const T* operator->() const { return &*value_; }
    const Error& error() const { return error_; }  // empty while there is a value

private:
    std::optional<T> value_;
    Error error_;
};

// For calls that have nothing to return but can fail: default-constructed is success.
template <>
class Expected<void> {
public:
    Expected() = default;
    Expected(Error error) : failed_(true), error_(std::move(error)) {}

    explicit operator bool() const { return !failed_; }
    const Error& error() const { return error_; }  // empty on success

private:
    bool failed_ = false;
    Error error_;
};

}  // namespace qx
