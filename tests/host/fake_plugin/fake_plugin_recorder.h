// The test program's journal of what the fake plugin went through, in order. The fake plugin
// library calls vekFakePluginRecord, which the test program exports.
#pragma once

#include <string>
#include <vector>

extern "C" void vekFakePluginRecord(const char* event);

namespace vekhost::testing {

std::vector<std::string> recordedEvents();
void clearRecordedEvents();

}  // namespace vekhost::testing
