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

namespace runtimetest {

class ScratchDir {
public:
    ScratchDir() {
        std::string pattern = (std::filesystem::temp_directory_path() / "vek-runtime-XXXXXX").string();
        path = mkdtemp(pattern.data()) != nullptr ? pattern : std::string();
    }
    ~ScratchDir() {
        std::error_code ignored;
        std::filesystem::permissions(path, std::filesystem::perms::owner_all, ignored);
        std::filesystem::remove_all(path, ignored);
    }
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;

    std::filesystem::path path;
};

inline void writeText(const std::filesystem::path& path, const std::string& text) {
    std::filesystem::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << text;
}

inline std::string readText(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream content;
    content << in.rdbuf();
    return content.str();
}

// Everything the plugin logs, at the verbose level, while the object lives.
class LogCapture {
public:
    LogCapture() {
        vekai_initialize_logging((dir.path / "start.log").c_str(), (dir.path / "rotating.log").c_str(), "",
                                 false, true, 2);
    }
    ~LogCapture() { vekai_finalise_logging(); }
    std::string text() const { return readText(dir.path / "start.log"); }
    size_t count(const std::string& needle) const {
        const std::string all = text();
        size_t found = 0;
        for (auto at = all.find(needle); at != std::string::npos; at = all.find(needle, at + 1)) {
            ++found;
        }
        return found;
    }
    bool contains(const std::string& needle) const { return count(needle) > 0; }

private:
    ScratchDir dir;
};

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
