// Helpers for the decoder tests: building tensor sets from plain arrays, reading decoded "xyxysc"
// rows back with format checks, comparing rows, and capturing the log lines a decoder writes.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "reference_decoders.h"
#include "utils/tensor_utils.h"

struct TensorSpec {
    std::string name;
    TensorElementType type;
    std::vector<int32_t> shape;
    std::vector<uint8_t> bytes;
};

TensorSpec floatTensor(std::string name, std::vector<int32_t> shape, const std::vector<float>& values);
TensorSpec int32Tensor(std::string name, std::vector<int32_t> shape, const std::vector<int32_t>& values);
TensorSpec int64Tensor(std::string name, std::vector<int32_t> shape, const std::vector<int64_t>& values);
TensorSpec uint8Tensor(std::string name, std::vector<int32_t> shape, const std::vector<uint8_t>& values);

inline constexpr int32_t kRequestId = 42;

TensorsPtr makeSet(const std::vector<TensorSpec>& specs, int32_t id = kRequestId);

// Rows of a decoded set; records a test failure when the set is not in the decoded format.
reference::Rows decodedRows(const Tensors* set);

// Exact when tolerance is 0; classes and row counts are always compared exactly.
void expectRowsEqual(const reference::Rows& actual, const reference::Rows& expected, float tolerance = 0.0f);

std::vector<float> uniformValues(size_t count, float low, float high, uint32_t seed);

// Sends log lines (verbose level) to standard output and captures them until text() is called.
class LogCapture {
public:
    LogCapture();
    ~LogCapture();
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    const std::string& text();

private:
    bool capturing = true;
    std::string captured;
};
