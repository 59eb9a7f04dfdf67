#include "corvane/vekai_preprocessor.h"

#include <vek/sdk/analytics/i_data_packet.h>

#include <array>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <stdexcept>
#include <string_view>
#include <vector>

#include "vekai_utilities/vekai_utils.h"

namespace vekai {

namespace {

constexpr std::string_view kImageInputName = "image-";
constexpr std::string_view kMaskInputName = "mask-";
constexpr std::string_view kNmsInputName = "nms_sensitivity-";
// This runtime takes byte images whatever element type its models declare.
constexpr std::string_view kDeepxRuntimeName = "DEEPX";

struct FreeDeleter {
    void operator()(void* memory) const { std::free(memory); }
};
using HeapBuffer = std::unique_ptr<void, FreeDeleter>;

HeapBuffer allocateHeapBuffer(size_t bytes) {
    void* memory = std::malloc(bytes == 0 ? 1 : bytes);
    if (memory == nullptr) {
        throw std::bad_alloc();
    }
    return HeapBuffer(memory);
}

// What the converters need to know about the stage's image input.
struct ImageRequest {
    bool bytes = false;
    int width = 0;
    int height = 0;
    int channels = 3;
    ImageOrder order = ImageOrder::Planar;
    ResizingMethod method = ResizingMethod::Letterbox;
    ChannelValues means{};
    ChannelValues vars{};
};

const TensorDetails_t* chooseImageInput(const ModelDetails_t& model) {
    if (model.inputs.size() == 1) {
        return &model.inputs.front();
    }
    const TensorDetails_t* chosen = nullptr;
    for (const TensorDetails_t& input : model.inputs) {
        if (input.name == kImageInputName) {
            chosen = &input;
        }
    }
    return chosen;
}

const TensorDetails_t* firstInputNamed(const ModelDetails_t& model, std::string_view name) {
    for (const TensorDetails_t& input : model.inputs) {
        if (input.name == name) {
            return &input;
        }
    }
    return nullptr;
}

int modelDimension(uint64_t value) {
    if (value > static_cast<uint64_t>(std::numeric_limits<int>::max())) {
        throw std::length_error("model input size out of range");
    }
    return static_cast<int>(value);
}

int32_t shapeDimension(uint64_t value) {
    constexpr uint64_t kLargest = std::numeric_limits<int32_t>::max();
    return static_cast<int32_t>(value > kLargest ? kLargest : value);
}

std::vector<int32_t> declaredShape(const TensorDetails_t& input) {
    std::vector<int32_t> shape;
    shape.reserve(input.shape.size());
    for (uint64_t dimension : input.shape) {
        shape.push_back(shapeDimension(dimension));
    }
    return shape;
}

// The image is by far the largest part of a set and is written into its heap buffer directly; the
// entry takes the buffer over instead of copying it.
void fillImageEntry(Tensor& entry, const TensorDetails_t& input, HeapBuffer data, uint64_t size) {
    const std::vector<int32_t> shape = declaredShape(input);
    fill_tensor(entry, input.name.c_str(), input.type, shape, nullptr, 0);
    std::free(entry.data);
    entry.data = data.release();
    entry.size = size;
}

// The first two declared dimensions; a shape too short to have them counts the missing ones as 1.
void fillMaskEntry(Tensor& entry, const TensorDetails_t& input) {
    const uint64_t rows = input.shape.size() > 0 ? input.shape[0] : 1;
    const uint64_t columns = input.shape.size() > 1 ? input.shape[1] : 1;
    uint64_t size = 0;
    if (__builtin_mul_overflow(rows, columns, &size)) {
        throw std::length_error("mask size overflows");
    }
    const std::array<int32_t, 2> shape{shapeDimension(rows), shapeDimension(columns)};
    fill_tensor(entry, input.name.c_str(), input.type, shape, nullptr, size);
    std::memset(entry.data, 1, size);
}

void fillNmsEntry(Tensor& entry, float nms) {
    const std::array<int32_t, 1> shape{1};
    fill_tensor(entry, std::string(kNmsInputName).c_str(), TENSOR_TYPE_FLOAT32, shape, &nms, sizeof(nms));
}

// Chooses the image input and road, lets convert write the image, and assembles the set.
template <class Convert>
TensorsPtr buildInputSet(const pipeline_stage_parameters_t& stage, Convert&& convert) {
    if (!stage.model) {
        vekai_vlog("Warning! Pipeline node %s has no model to preprocess for!\n", stage.stageId.c_str());
        return nullptr;
    }
    const ModelDetails_t& model = *stage.model;
    const TensorDetails_t* image = chooseImageInput(model);
    if (image == nullptr) {
        vekai_vlog("Warning! Model %s does not support image input!\n", model.id.c_str());
        return nullptr;
    }
    ImageRequest request;
    request.bytes = model.runtimeName == kDeepxRuntimeName || image->type == TENSOR_TYPE_UINT8;
    request.width = modelDimension(model.inputWidth);
    request.height = modelDimension(model.inputHeight);
    request.channels = model.inputChannels == 1 ? 1 : 3;
    request.order = model.order;
    request.method = stage.resizingMethod;
    request.means = model.means;
    request.vars = model.vars;

    const size_t imageBytes =
        request.bytes ? VideoFrame::byteResultBytes(request.width, request.height)
                      : VideoFrame::floatResultBytes(request.width, request.height, request.channels);
    HeapBuffer imageData = allocateHeapBuffer(imageBytes);
    convert(request, imageData.get());

    const bool auxiliary = model.inputs.size() >= 2;
    const TensorDetails_t* mask = auxiliary ? firstInputNamed(model, kMaskInputName) : nullptr;
    const TensorDetails_t* nms = auxiliary ? firstInputNamed(model, kNmsInputName) : nullptr;
    TensorsPtr set = allocate_tensors(0, 1 + (mask != nullptr ? 1 : 0) + (nms != nullptr ? 1 : 0));
    int32_t next = 0;
    fillImageEntry(set->tensors[next++], *image, std::move(imageData), imageBytes);
    if (mask != nullptr) {
        fillMaskEntry(set->tensors[next++], *mask);
    }
    if (nms != nullptr) {
        fillNmsEntry(set->tensors[next++], stage.nms);
    }
    return set;
}

}  // namespace

TensorsPtr Preprocessor::preprocess(const VideoFrame& frame, const pipeline_stage_parameters_t& stage,
                                    const CropBox& crop) const {
    vekai_vlog_verbose("Notice: vekai_module_video_preprocessing ##\n");
    return buildInputSet(stage, [&](const ImageRequest& request, void* output) {
        if (request.bytes) {
            frame.processImageUint8Into(request.width, request.height, ImageOrder::Interleaved, crop,
                                        request.method, static_cast<uint8_t*>(output));
        } else {
            frame.processImageInto(request.width, request.height, request.channels, request.order, crop,
                                   request.method, request.means, request.vars, static_cast<float*>(output));
        }
    });
}

TensorsPtr Preprocessor::preprocessDirect(const vek::sdk::analytics::IUncompressedVideoFrame1& frame,
                                          const pipeline_stage_parameters_t& stage,
                                          const CropBox& crop) const {
    return buildInputSet(stage, [&](const ImageRequest& request, void* output) {
        const SimdLevel level = bestSimdLevel();
        if (request.bytes) {
            VideoFrame::directPreprocessUint8Into(frame, request.width, request.height, crop, request.method,
                                                  static_cast<uint8_t*>(output), level);
        } else {
            VideoFrame::directPreprocessInto(frame, request.order, request.width, request.height,
                                             request.channels, crop, request.method, request.means,
                                             request.vars, static_cast<float*>(output), level);
        }
    });
}

}  // namespace vekai
