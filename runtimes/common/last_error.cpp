#include "last_error.h"

#include <utility>

namespace vekrt {

namespace {
thread_local std::string lastErrorText;
}

int fail(int status, std::string text) {
    lastErrorText = std::move(text);
    return status;
}

const char* lastError() {
    return lastErrorText.c_str();
}

}  // namespace vekrt
