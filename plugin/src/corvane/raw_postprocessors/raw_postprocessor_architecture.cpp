#include "corvane/raw_postprocessors/raw_postprocessor_architecture.h"

#include <string>
#include <unordered_map>

namespace {

using Arch = RawPostprocessingArchitecture;

const std::unordered_map<std::string, Arch>& aliases() {
    static const std::unordered_map<std::string, Arch> kAliases = {
        {"yolo11", Arch::AnchorFreeYolo},
        {"yolov8", Arch::AnchorFreeYolo},
        {"yolov9", Arch::AnchorFreeYolo},
        {"yolov10", Arch::AnchorFreeYolo},
        {"yolo12", Arch::AnchorFreeYolo},
        {"yolov5", Arch::AnchorBasedYolo},
        {"yolov6", Arch::AnchorBasedYolo},
        {"yolov7", Arch::AnchorBasedYolo},
        {"yolo26", Arch::Yolo26},
        {"yolonas", Arch::YoloNas},
        {"rtdetr", Arch::RtDetr},
        {"rfdetr", Arch::RfDetr},
        {"ssd", Arch::Ssd},
        {"ssdlite", Arch::Ssd},
        {"mobiledetv2", Arch::Ssd},
        {"mobiledetv3", Arch::Ssd},
        {"efficientdet", Arch::EfficientDet},
        {"nanodet", Arch::NanoDet},
        {"yolo8deepx", Arch::Yolo8Deepx},
    };
    return kAliases;
}

std::string normalise(std::string_view name) {
    std::string normalised;
    normalised.reserve(name.size());
    for (char c : name) {
        if (c == '-' || c == '_') {
            continue;
        }
        normalised.push_back(c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c);
    }
    return normalised;
}

}  // namespace

RawPostprocessingArchitecture vekai_parse_raw_postprocessing_architecture(std::string_view name,
                                                                          bool* recognised) {
    if (recognised != nullptr) {
        *recognised = true;
    }
    if (name.empty()) {
        return Arch::AnchorFreeYolo;
    }
    const auto& table = aliases();
    auto found = table.find(normalise(name));
    if (found != table.end()) {
        return found->second;
    }
    if (recognised != nullptr) {
        *recognised = false;
    }
    return Arch::AnchorFreeYolo;
}
