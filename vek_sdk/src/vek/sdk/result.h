// Error codes and the value-or-error result returned through the host interfaces.
#pragma once

#include <vek/sdk/i_string.h>

namespace vek::sdk {

enum class ErrorCode : int {
    noError = 0,
    networkError = -22,
    unauthorized = -1,
    badState = -2,
    invalidParams = -3,
    notImplemented = -21,
    internalError = -1000,
    otherError = -1001,
};

// The message is a host-interface string owned by the result's receiver.
struct Error {
    ErrorCode errorCode = ErrorCode::noError;
    const IString* errorMessage = nullptr;
};

template <class Value>
struct Result {
    Error error{};
    Value value{};

    Result() = default;
    Result(Value value) : value(value) {}
    Result(Error error) : error(error) {}
    bool isOk() const { return error.errorCode == ErrorCode::noError; }
};

template <>
struct Result<void> {
    Error error{};

    Result() = default;
    Result(Error error) : error(error) {}
    bool isOk() const { return error.errorCode == ErrorCode::noError; }
};

}  // namespace vek::sdk
