#include "fake_plugin/fake_plugin_recorder.h"

#include <mutex>

namespace {

std::mutex eventsMutex;
// Never freed: a library still loaded at process exit may record from its destructors.
std::vector<std::string>& events = *new std::vector<std::string>();

}  // namespace

extern "C" void vekFakePluginRecord(const char* event) {
    std::lock_guard lock(eventsMutex);
    events.emplace_back(event ? event : "");
}

namespace vekhost::testing {

std::vector<std::string> recordedEvents() {
    std::lock_guard lock(eventsMutex);
    return events;
}

void clearRecordedEvents() {
    std::lock_guard lock(eventsMutex);
    events.clear();
}

}  // namespace vekhost::testing
