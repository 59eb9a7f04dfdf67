// Shared by the runtime tests: scratch directories, a capture of the plugin log, runtime libraries
// installed where the inference engine looks for them, and tensor sets built from plain vectors.
#pragma once

#include <dlfcn.h>
#include <gtest/gtest.h>
#include <stdlib.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "utils/tensor_utils.h"
#include "vekai_utilities/vekai_utils.h"

#include <vektest/files.h>
#include <vektest/log_capture.h>
#include <vektest/temp_dir.h>

namespace runtimetest {

using ScratchDir = vektest::TempDir;
using vektest::LogCapture;
using vektest::readText;
using vektest::writeText;

// Copies a built runtime library to where the engine of working directory `root` loads it from.
inline void installRuntime(const std::filesystem::path& root, const std::string& library) {
    std::filesystem::create_directories(root / "inference_engine");
    std::filesystem::copy_file(library, root / "inference_engine" / "libRuntimeLibrary.so",
                               std::filesystem::copy_options::overwrite_existing);
}

// Keeps ONNX Runtime mapped for the rest of the test process. It leaks a few bytes of its own static
// state each time it is unloaded, which leak checkers would otherwise blame on the test.
inline void keepLoaded(const std::filesystem::path& library) {
    dlopen(library.c_str(), RTLD_LAZY | RTLD_NODELETE);
}

inline TensorsPtr floatSet(int32_t id, const std::string& name, const std::vector<int32_t>& shape,
                           const std::vector<float>& values) {
    TensorsPtr set = allocate_tensors(id, 1);
    fill_tensor(set->tensors[0], name.c_str(), TENSOR_TYPE_FLOAT32, shape, values.data(),
                values.size() * sizeof(float));
    return set;
}

inline std::vector<float> floatValues(const Tensor& entry) {
    std::vector<float> values(entry.size / sizeof(float));
    if (!values.empty()) {
        std::memcpy(values.data(), entry.data, values.size() * sizeof(float));
    }
    return values;
}

// Polls until `done` holds or `limit` passes; returns whether it held.
inline bool eventually(const std::function<bool()>& done,
                       std::chrono::milliseconds limit = std::chrono::milliseconds(10000)) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

}  // namespace runtimetest
