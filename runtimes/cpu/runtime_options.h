// The runtime arguments this runtime understands, with defaults sized for the machine it runs on:
// "workers" (parallel inferences), "intra_op_threads" (threads inside one inference) and
// "queue_capacity" (requests held at once, queued, running or waiting to be retrieved).
#pragma once

#include <optional>
#include <string>

#include "vekai_runtime_interface.h"

namespace vekrt {

struct RuntimeOptions {
    int workers = 1;
    int intraOpThreads = 1;
    int queueCapacity = 128;
};

// Unknown names are ignored; a value that is not a positive integer is an error (set in `error`).
std::optional<RuntimeOptions> parseRuntimeOptions(const Config& config, unsigned hardwareThreads,
                                                  std::string& error);

}  // namespace vekrt
