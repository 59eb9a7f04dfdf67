// Straightforward reference decoders for every detector family: plain loops over plain arrays, no
// SIMD, no threads, no shared code with the plugin, used to check the plugin's decoders and as baseline.
#pragma once

#include <array>
#include <vector>

namespace reference {

// x1, y1, x2, y2, score, class
using Row = std::array<float, 6>;
using Rows = std::vector<Row>;

// Greedy NMS as written down: stable sort by score, each survivor suppresses later boxes (of its class
// unless agnostic) whose IoU is strictly above the threshold. Result in score order.
Rows nms(Rows candidates, float iouThreshold, bool classAgnostic);

// data: [4 + K, N] channel-major.
Rows anchorFreeYolo(const float* data, int channels, int proposals, float confidence, float iou);
// data: [N, S] rows of cx, cy, w, h, objectness, S - 5 class scores.
Rows anchorBasedYolo(const float* data, int anchors, int rowSize, float confidence, float iou);
// data: [N, 6] final rows.
Rows yolo26(const float* data, int rows, float confidence);
// boxes [N, 4] corners, scores [N, K].
Rows yoloNas(const float* boxes, const float* scores, int count, int classes, float confidence, float iou);

struct DeepxLevel {
    const float* regression;      // [64, H, W]
    const float* classification;  // [K, H, W]
    int classes;
    int height;
    int width;
    int stride;
};
Rows yolo8Deepx(const std::vector<DeepxLevel>& levels, float confidence, float iou);

// boxes [N, 4] as ymin, xmin, ymax, xmax fractions; scores [N, K] with background in column 0.
Rows ssd(const float* boxes, const float* scores, int count, int columns, float confidence, float iou,
         int width, int height);

struct NanoDetLevel {
    const float* classes;  // cell i's scores start at classes + i * classStep
    int classCount;
    int classStep;
    const float* distances;  // cell i's 32 bins start at distances + i * distanceStep
    int distanceStep;
    int side;
    int stride;
};
Rows nanoDet(const std::vector<NanoDetLevel>& levels, float confidence, float iou);

// boxes [n, 4] ymin, xmin, ymax, xmax fractions; 1-based classes.
Rows efficientDet(const float* boxes, const float* scores, const float* classes, int count, float confidence,
                  int width, int height);
// logits [Q, K]; boxes [Q, 4] cx, cy, w, h fractions.
Rows rtDetr(const float* logits, const float* boxes, int queries, int classes, float confidence, int width,
            int height);
// scores [N]; boxes [N, 4] corner fractions; labels already as floats.
Rows rfDetr(const float* scores, const float* boxes, const float* labels, int count, float confidence,
            int width, int height);

}  // namespace reference
