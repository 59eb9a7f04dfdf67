// Waiting in tests for something another thread or process brings about, with a limit so that a
// fault shows as a failed expectation instead of a hung test.
#pragma once

#include <chrono>
#include <thread>

namespace vektest {

// Whether the condition became true within the limit; it is asked once more at the deadline.
template <class Condition>
bool waitFor(std::chrono::milliseconds limit, const Condition& condition,
             std::chrono::milliseconds poll = std::chrono::milliseconds(20)) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < deadline) {
        if (condition())
            return true;
        std::this_thread::sleep_for(poll);
    }
    return condition();
}

}  // namespace vektest
