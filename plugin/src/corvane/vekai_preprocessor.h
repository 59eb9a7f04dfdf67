// Turns a video frame into the complete input tensor set of one pipeline stage: the image in the
// model's size, layout, element type and normalisation, plus the mask and NMS inputs some models take.
#pragma once

#include <memory>
#include <string>

#include "corvane/vekai_corvane_utils.h"
#include "corvane/vekai_external_processors.h"
#include "corvane/vekai_video_frame.h"
#include "utils/tensor_utils.h"

namespace vek::sdk::analytics {
class IUncompressedVideoFrame1;
}

namespace vekai {

class Preprocessor {
public:
    // From the RGB image of a frame; null when the stage's model has no image input.
    TensorsPtr preprocess(const VideoFrame& frame, const pipeline_stage_parameters_t& stage,
                          const CropBox& crop) const;
    // Straight from the host frame's YUV planes, with the same result.
    TensorsPtr preprocessDirect(const vek::sdk::analytics::IUncompressedVideoFrame1& frame,
                                const pipeline_stage_parameters_t& stage, const CropBox& crop) const;

    // Starts the programs declared under rootDir; called once, before any frame.
    void initializeExternalPreprocessors(const std::string& rootDir);
    // The frame as the stage's image preprocessor returns it, or null to keep the frame.
    std::shared_ptr<VideoFrame> handleImagePreprocessor(int64_t timestampUs, const VideoFrame& frame,
                                                        const pipeline_stage_parameters_t& stage,
                                                        const DeviceAgentDetails_t& details) const;
    // The set the stage's tensor preprocessor returns, or null to keep the request's own set.
    TensorsPtr handleTensorPreprocessors(const InferenceInput_t& request, const Tensors* tensors) const;
    const ExternalPreprocessorTable& getExternalPreprocessors() const { return externalPreprocessors; }

private:
    ExternalPreprocessorTable externalPreprocessors;
};

}  // namespace vekai
