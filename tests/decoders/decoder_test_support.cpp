#include "decoder_test_support.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>

#include "vekai_utilities/vekai_utils.h"

namespace {

template <typename T>
TensorSpec typedTensor(std::string name, TensorElementType type, std::vector<int32_t> shape,
                       const std::vector<T>& values) {
    std::vector<uint8_t> bytes(values.size() * sizeof(T));
    if (!bytes.empty()) {
        std::memcpy(bytes.data(), values.data(), bytes.size());
    }
    return {std::move(name), type, std::move(shape), std::move(bytes)};
}

}  // namespace

TensorSpec floatTensor(std::string name, std::vector<int32_t> shape, const std::vector<float>& values) {
    return typedTensor(std::move(name), TENSOR_TYPE_FLOAT32, std::move(shape), values);
}

TensorSpec int32Tensor(std::string name, std::vector<int32_t> shape, const std::vector<int32_t>& values) {
    return typedTensor(std::move(name), TENSOR_TYPE_INT32, std::move(shape), values);
}

TensorSpec int64Tensor(std::string name, std::vector<int32_t> shape, const std::vector<int64_t>& values) {
    return typedTensor(std::move(name), TENSOR_TYPE_INT64, std::move(shape), values);
}

TensorSpec uint8Tensor(std::string name, std::vector<int32_t> shape, const std::vector<uint8_t>& values) {
    return typedTensor(std::move(name), TENSOR_TYPE_UINT8, std::move(shape), values);
}

TensorsPtr makeSet(const std::vector<TensorSpec>& specs, int32_t id) {
    TensorsPtr set = allocate_tensors(id, static_cast<int32_t>(specs.size()));
    for (size_t i = 0; i < specs.size(); ++i) {
        fill_tensor(set->tensors[i], specs[i].name.c_str(), specs[i].type, specs[i].shape,
                    specs[i].bytes.data(), specs[i].bytes.size());
    }
    return set;
}

reference::Rows decodedRows(const Tensors* set) {
    reference::Rows rows;
    if (set == nullptr) {
        ADD_FAILURE() << "decoder returned no set";
        return rows;
    }
    if (set->count == 0) {
        return rows;
    }
    if (set->count != 1) {
        ADD_FAILURE() << "decoded set holds " << set->count << " tensors";
        return rows;
    }
    const Tensor& tensor = set->tensors[0];
    EXPECT_STREQ(tensor.name, "output0 format:xyxysc");
    EXPECT_EQ(tensor.type, TENSOR_TYPE_FLOAT32);
    if (tensor.rank != 2 || tensor.shape[1] != 6 || tensor.shape[0] <= 0 ||
        tensor.size != static_cast<uint64_t>(tensor.shape[0]) * 24) {
        ADD_FAILURE() << "decoded tensor is not [n, 6] floats";
        return rows;
    }
    const auto* data = static_cast<const float*>(tensor.data);
    for (int32_t i = 0; i < tensor.shape[0]; ++i) {
        rows.push_back({data[i * 6], data[i * 6 + 1], data[i * 6 + 2], data[i * 6 + 3], data[i * 6 + 4],
                        data[i * 6 + 5]});
    }
    return rows;
}

void expectRowsEqual(const reference::Rows& actual, const reference::Rows& expected, float tolerance) {
    ASSERT_EQ(actual.size(), expected.size());
    for (size_t i = 0; i < actual.size(); ++i) {
        EXPECT_EQ(actual[i][5], expected[i][5]) << "class of row " << i;
        for (size_t v = 0; v < 5; ++v) {
            if (tolerance == 0.0f) {
                EXPECT_EQ(actual[i][v], expected[i][v]) << "row " << i << " value " << v;
            } else {
                EXPECT_NEAR(actual[i][v], expected[i][v], tolerance) << "row " << i << " value " << v;
            }
        }
    }
}

std::vector<float> uniformValues(size_t count, float low, float high, uint32_t seed) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> value(low, high);
    std::vector<float> values(count);
    for (float& v : values) {
        v = value(rng);
    }
    return values;
}

LogCapture::LogCapture() {
    vekai_initialize_logging(nullptr, nullptr, nullptr, true, false, 2);
    testing::internal::CaptureStdout();
}

LogCapture::~LogCapture() {
    text();
    vekai_finalise_logging();
}

const std::string& LogCapture::text() {
    if (capturing) {
        captured = testing::internal::GetCapturedStdout();
        capturing = false;
    }
    return captured;
}
