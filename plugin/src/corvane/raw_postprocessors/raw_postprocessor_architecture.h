// Detector families whose raw outputs the plugin decodes itself, and the mapping from the
// architecture names found in model configurations to those families.
#pragma once

#include <string_view>

enum class RawPostprocessingArchitecture : int {
    AnchorFreeYolo = 0,
    AnchorBasedYolo = 1,
    Yolo26 = 2,
    YoloNas = 3,
    RtDetr = 4,
    RfDetr = 5,
    Ssd = 6,
    EfficientDet = 7,
    NanoDet = 8,
    Yolo8Deepx = 9,
};

// Names compare without '-' and '_' and ignoring ASCII case. An unknown name clears *recognised
// and yields AnchorFreeYolo; the empty name yields AnchorFreeYolo and counts as recognised.
RawPostprocessingArchitecture vekai_parse_raw_postprocessing_architecture(std::string_view name,
                                                                          bool* recognised = nullptr);
