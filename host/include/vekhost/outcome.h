// A value or the text of the failure that prevented it; the host library reports failures this way
// instead of throwing.
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <variant>

namespace vekhost {

struct Failure {
    std::string message;
};

template <class T>
class Outcome {
public:
    Outcome(T value) : stored(std::move(value)) {}
    Outcome(Failure failure) : failureText(std::move(failure.message)) {}

    bool ok() const { return stored.has_value(); }
    explicit operator bool() const { return ok(); }
    T& value() { return *stored; }
    const T& value() const { return *stored; }
    T& operator*() { return *stored; }
    T* operator->() { return &*stored; }
    const std::string& error() const { return failureText; }

private:
    std::optional<T> stored;
    std::string failureText;
};

// The outcome of an operation that yields nothing but success or a failure text.
using Status = Outcome<std::monostate>;

inline Status success() {
    return Status(std::monostate{});
}

}  // namespace vekhost
