// The text behind runtime_get_error: kept per calling thread, so that a failure reported to one
// thread is never overwritten or freed under it by another thread's call.
#pragma once

#include <string>

namespace vekrt {

// Records the text and returns `status`, for `return fail(...)` at a failing call.
int fail(int status, std::string text);
const char* lastError();

}  // namespace vekrt
