// Every raw output decoder on runtime output sets of arbitrary names, element types, shapes and
// data, with arbitrary thresholds and input sizes. Only the runtime's own contract holds: each
// entry's shape array has `rank` dimensions and its data `size` bytes.
#include <fuzzer/FuzzedDataProvider.h>

#include <cmath>
#include <cstdlib>
#include <limits>
#include <string>
#include <vector>

#include "corvane/raw_postprocessors/raw_postprocessor_dispatch.h"
#include "fuzz_support.h"
#include "utils/tensor_utils.h"

namespace {

// The names the decoders look for, so that the fuzzer need not guess them.
const char* const kNames[] = {"output0",
                              "output",
                              "boxes",
                              "scores",
                              "classes",
                              "labels",
                              "num_det",
                              "cls",
                              "dis",
                              "reg",
                              "logits",
                              "box",
                              "score",
                              "pred_logits",
                              "pred_boxes",
                              "dets",
                              "label",
                              "box_encoding",
                              "class_predictions",
                              "detection_boxes",
                              "detection_scores",
                              "detection_classes",
                              "num_detections",
                              "pred_labels",
                              ""};
constexpr uint64_t kMaxEntryBytes = 1 << 20;

float threshold(FuzzedDataProvider& input) {
    switch (input.ConsumeIntegralInRange(0, 7)) {
        case 0:
            return std::numeric_limits<float>::quiet_NaN();
        case 1:
            return input.ConsumeFloatingPoint<float>();
        default:
            return input.ConsumeProbability<float>();
    }
}

std::string name(FuzzedDataProvider& input) {
    const size_t pick = input.ConsumeIntegralInRange<size_t>(0, std::size(kNames));
    return pick < std::size(kNames) ? kNames[pick] : input.ConsumeRandomLengthString(16);
}

// The data repeats a short pattern taken from the input, so that a few bytes fill a large tensor.
std::vector<uint8_t> pattern(FuzzedDataProvider& input, uint64_t size) {
    std::vector<uint8_t> seed = input.ConsumeBytes<uint8_t>(input.ConsumeIntegralInRange(1, 64));
    if (seed.empty())
        seed.push_back(0);
    std::vector<uint8_t> data(size);
    for (uint64_t i = 0; i < size; ++i)
        data[i] = seed[i % seed.size()];
    return data;
}

void fillEntry(FuzzedDataProvider& input, Tensor& entry) {
    const std::string entryName = name(input);
    const auto type = static_cast<TensorElementType>(input.ConsumeIntegralInRange(0, 14));
    std::vector<int32_t> dims(input.ConsumeIntegralInRange(0, 5));
    uint64_t elements = 1;
    for (int32_t& dim : dims) {
        dim = input.ConsumeBool() ? input.ConsumeIntegralInRange(-1, 4)
                                  : input.ConsumeIntegralInRange(-2, 9000);
        elements = dim > 0 && elements < kMaxEntryBytes ? elements * uint64_t(dim) : elements;
    }
    // Mostly the size the shape implies, sometimes any size.
    const size_t elementBytes = get_type_size(type) ? get_type_size(type) : 1;
    uint64_t size = elements * elementBytes;
    if (size > kMaxEntryBytes || input.ConsumeIntegralInRange(0, 4) == 0)
        size = input.ConsumeIntegralInRange<uint64_t>(0, 4096);
    const std::vector<uint8_t> data = pattern(input, size);
    fill_tensor(entry, entryName.c_str(), type, dims, data.data(), size);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::setUp();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider input(data, size);
    const auto architecture = static_cast<RawPostprocessingArchitecture>(input.ConsumeIntegralInRange(0, 10));
    const float confidence = threshold(input);
    const float iou = threshold(input);
    const int width = input.ConsumeIntegralInRange(-1, 4096);
    const int height = input.ConsumeIntegralInRange(-1, 4096);
    const int32_t count = input.ConsumeIntegralInRange(0, 8);
    TensorsPtr raw = allocate_tensors(input.ConsumeIntegral<int32_t>(), count);
    for (int32_t i = 0; i < count; ++i)
        fillEntry(input, raw->tensors[i]);

    const TensorsPtr decoded =
        decodeRawPostprocessorOutput(architecture, raw.get(), confidence, iou, width, height);
    // Whatever comes back is a well-formed set the rest of the pipeline can read.
    for (const Tensor& entry : tensor_entries(decoded.get())) {
        if (check_tensor(entry) != TensorFault::None)
            std::abort();
    }
    return 0;
}
