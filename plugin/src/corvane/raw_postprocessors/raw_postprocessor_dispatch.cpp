#include "corvane/raw_postprocessors/raw_postprocessor_dispatch.h"

#include "corvane/raw_postprocessors/efficientdet_postprocessor.h"
#include "corvane/raw_postprocessors/nanodet_postprocessor.h"
#include "corvane/raw_postprocessors/raw_postprocessor_utils.h"
#include "corvane/raw_postprocessors/rfdetr_postprocessor.h"
#include "corvane/raw_postprocessors/rtdetr_postprocessor.h"
#include "corvane/raw_postprocessors/ssd_postprocessor.h"
#include "corvane/raw_postprocessors/yolo26_postprocessor.h"
#include "corvane/raw_postprocessors/yolo8_deepx_postprocessor.h"
#include "corvane/raw_postprocessors/yolo_anchor_based_postprocessor.h"
#include "corvane/raw_postprocessors/yolo_anchor_free_postprocessor.h"
#include "corvane/raw_postprocessors/yolo_nas_postprocessor.h"
#include "vekai_utilities/vekai_utils.h"

TensorsPtr decodeRawPostprocessorOutput(RawPostprocessingArchitecture architecture, const Tensors* raw,
                                        float confidenceThreshold, float iouThreshold, int inputWidth,
                                        int inputHeight) {
    using Arch = RawPostprocessingArchitecture;
    switch (architecture) {
        case Arch::AnchorFreeYolo:
            return decodeAnchorFreeYoloOutput(raw, confidenceThreshold, iouThreshold);
        case Arch::AnchorBasedYolo:
            return decodeAnchorBasedYoloOutput(raw, confidenceThreshold, iouThreshold);
        case Arch::Yolo26:
            return decodeYolo26Output(raw, confidenceThreshold);
        case Arch::YoloNas:
            return decodeYoloNasOutput(raw, confidenceThreshold, iouThreshold);
        case Arch::RtDetr:
            return decodeRtDetrOutput(raw, confidenceThreshold, inputWidth, inputHeight);
        case Arch::RfDetr:
            return decodeRfDetrOutput(raw, confidenceThreshold, inputWidth, inputHeight);
        case Arch::Ssd:
            return decodeSsdOutput(raw, confidenceThreshold, iouThreshold, inputWidth, inputHeight);
        case Arch::EfficientDet:
            return decodeEfficientDetOutput(raw, confidenceThreshold, inputWidth, inputHeight);
        case Arch::NanoDet:
            return decodeNanoDetOutput(raw, confidenceThreshold, iouThreshold);
        case Arch::Yolo8Deepx:
            return decodeYolo8DeepxOutput(raw, confidenceThreshold, iouThreshold);
    }
    vekai_vlog("Warning! [RawPostprocessor] Unknown architecture %d.\n", static_cast<int>(architecture));
    return rawPostprocessorEmptyOutput(raw);
}
