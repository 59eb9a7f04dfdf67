// Turns a video frame into the complete input tensor set of one pipeline stage: the image in the
// model's size, layout, element type and normalisation, plus the mask and NMS inputs some models take.
#pragma once

#include "corvane/vekai_corvane_utils.h"
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

    // External preprocessors (starting them, exchanging tensors or images with them) belong to this
    // class too and are added here with the external processor dispatch.
};

}  // namespace vekai
