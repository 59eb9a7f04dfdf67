#include "corvane/raw_postprocessors/yolo_anchor_free_postprocessor.h"

#include <algorithm>
#include <memory>
#include <numeric>
#include <thread>
#include <vector>

#include "corvane/raw_postprocessors/raw_postprocessor_utils.h"
#include "corvane/raw_postprocessors/raw_tensor_input.h"
#include "vekai_utilities/vekai_utils.h"

namespace {

constexpr const char* kTag = "AnchorFreeYolo";
constexpr size_t kThreadedProposals = 2048;
constexpr int kMaxThreads = 4;

int argmaxThreads(size_t proposals, int requested) {
    if (requested > 0) {
        return requested;
    }
    if (proposals < kThreadedProposals) {
        return 1;
    }
    const unsigned hardware = std::thread::hardware_concurrency();
    return std::clamp(static_cast<int>(std::min<unsigned>(hardware, kMaxThreads)), 1, kMaxThreads);
}

// Per-class greedy NMS; survivors keep proposal order.
std::vector<RawDetectionBox> suppressPerClass(const std::vector<RawDetectionBox>& candidates,
                                              float iouThreshold) {
    std::vector<uint32_t> order(candidates.size());
    std::iota(order.begin(), order.end(), 0u);
    std::sort(order.begin(), order.end(), [&candidates](uint32_t a, uint32_t b) {
        const RawDetectionBox& first = candidates[a];
        const RawDetectionBox& second = candidates[b];
        if (first.classId != second.classId) {
            return first.classId < second.classId;
        }
        if (first.score != second.score) {
            return first.score > second.score;
        }
        return a < b;
    });

    std::vector<char> kept(candidates.size(), 0);
    RawNmsKeptBoxes keptBoxes(iouThreshold, RawIouRule::ZeroWhenNoOverlap);
    for (size_t i = 0; i < order.size(); ++i) {
        if (i > 0 && candidates[order[i]].classId != candidates[order[i - 1]].classId) {
            keptBoxes.clear();
        }
        kept[order[i]] = keptBoxes.keepUnlessSuppressed(candidates[order[i]]) ? 1 : 0;
    }

    std::vector<RawDetectionBox> survivors;
    survivors.reserve(candidates.size());
    for (size_t i = 0; i < candidates.size(); ++i) {
        if (kept[i] != 0) {
            survivors.push_back(candidates[i]);
        }
    }
    return survivors;
}

}  // namespace

TensorsPtr decodeAnchorFreeYoloOutput(const Tensors* raw, float confidenceThreshold, float iouThreshold) {
    return decodeAnchorFreeYoloOutput(raw, confidenceThreshold, iouThreshold, AnchorFreeArgmaxOptions{});
}

TensorsPtr decodeAnchorFreeYoloOutput(const Tensors* raw, float confidenceThreshold, float iouThreshold,
                                      const AnchorFreeArgmaxOptions& options) {
    const int index = rawFindFloatTensorWithData(raw);
    if (index < 0) {
        vekai_vlog("Warning! [AnchorFreeYolo] No FLOAT tensor found in input.\n");
        return rawPostprocessorEmptyOutput(raw);
    }
    const Tensor& tensor = raw->tensors[index];
    if (!rawTensorReadable(tensor, kTag, "Output")) {
        return rawPostprocessorEmptyOutput(raw);
    }
    if (tensor.rank < 2) {
        vekai_vlog("Warning! [AnchorFreeYolo] Tensor rank %d is too low.\n", tensor.rank);
        return rawPostprocessorEmptyOutput(raw);
    }
    const int32_t rows = tensor.shape[tensor.rank - 2];
    const int32_t proposals = tensor.shape[tensor.rank - 1];
    if (rows <= 4) {
        vekai_vlog("Warning! [AnchorFreeYolo] Too few channels (%d), need at least 5 (4 box + 1 class).\n",
                   rows);
        return rawPostprocessorEmptyOutput(raw);
    }
    const int32_t classes = rows - 4;
    if (!rawClassCountUsable(classes, kTag)) {
        return rawPostprocessorEmptyOutput(raw);
    }
    vekai_vlog_verbose("[AnchorFreeYolo] Decoding %d proposals, %d classes.\n", proposals, classes);

    const auto* data = static_cast<const float*>(tensor.data);
    const size_t count = static_cast<size_t>(proposals);
    const auto best = std::make_unique_for_overwrite<float[]>(count);
    const auto bestClass = std::make_unique_for_overwrite<int32_t[]>(count);
    const RawArgmaxKernel kernel = options.allowAvx2 ? rawArgmaxFastestKernel() : RawArgmaxKernel::Scalar;
    rawArgmaxSplit(data + 4 * count, classes, count, confidenceThreshold,
                   argmaxThreads(count, options.threads), kernel, best.get(), bestClass.get());

    const float* cx = data;
    const float* cy = data + count;
    const float* w = data + 2 * count;
    const float* h = data + 3 * count;
    std::vector<RawDetectionBox> candidates;
    candidates.reserve(
        std::count_if(bestClass.get(), bestClass.get() + count, [](int32_t c) { return c >= 0; }));
    for (size_t p = 0; p < count; ++p) {
        if (bestClass[p] < 0) {
            continue;
        }
        const float halfW = w[p] * 0.5f;
        const float halfH = h[p] * 0.5f;
        candidates.push_back(
            {cx[p] - halfW, cy[p] - halfH, halfW + cx[p], halfH + cy[p], best[p], bestClass[p]});
    }
    vekai_vlog_verbose("[AnchorFreeYolo] %d candidates above threshold.\n",
                       static_cast<int>(candidates.size()));

    const std::vector<RawDetectionBox> detections = suppressPerClass(candidates, iouThreshold);
    vekai_vlog_verbose("[AnchorFreeYolo] %d detections after NMS.\n", static_cast<int>(detections.size()));
    return rawPostprocessorBoxesOutput(detections, raw->id);
}
