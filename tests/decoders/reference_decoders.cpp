#include "reference_decoders.h"

#include <algorithm>
#include <cmath>
#include <numeric>

namespace reference {

namespace {

float unionGuardedIou(const Row& a, const Row& b) {
    const float width = std::max(std::min(a[2], b[2]) - std::max(a[0], b[0]), 0.0f);
    const float height = std::max(std::min(a[3], b[3]) - std::max(a[1], b[1]), 0.0f);
    const float intersection = width * height;
    const float unionArea = (a[3] - a[1]) * (a[2] - a[0]) + (b[3] - b[1]) * (b[2] - b[0]) - intersection;
    if (unionArea <= 0.0f) {
        return 0.0f;
    }
    return intersection / unionArea;
}

float overlapGuardedIou(const Row& a, const Row& b) {
    const float width = std::min(a[2], b[2]) - std::max(a[0], b[0]);
    const float height = std::min(a[3], b[3]) - std::max(a[1], b[1]);
    if (width <= 0.0f || height <= 0.0f) {
        return 0.0f;
    }
    const float intersection = width * height;
    const float areaA = (a[2] - a[0]) * (a[3] - a[1]);
    const float areaB = (b[2] - b[0]) * (b[3] - b[1]);
    return intersection / (areaA + areaB - intersection);
}

Row box(float x1, float y1, float x2, float y2, float score, int cls) {
    return {x1, y1, x2, y2, score, static_cast<float>(cls)};
}

float expectation(const float* bins, int count, int step) {
    float maximum = bins[0];
    for (int b = 1; b < count; ++b) {
        if (bins[b * step] > maximum) {
            maximum = bins[b * step];
        }
    }
    float weighted = 0.0f;
    float total = 0.0f;
    for (int b = 0; b < count; ++b) {
        const float e = std::exp(bins[b * step] - maximum);
        weighted += static_cast<float>(b) * e;
        total += e;
    }
    return weighted / total;
}

}  // namespace

Rows nms(Rows candidates, float iouThreshold, bool classAgnostic) {
    std::stable_sort(candidates.begin(), candidates.end(),
                     [](const Row& a, const Row& b) { return a[4] > b[4]; });
    std::vector<bool> suppressed(candidates.size(), false);
    Rows kept;
    for (size_t i = 0; i < candidates.size(); ++i) {
        if (suppressed[i]) {
            continue;
        }
        kept.push_back(candidates[i]);
        for (size_t j = i + 1; j < candidates.size(); ++j) {
            if (suppressed[j] || (!classAgnostic && candidates[j][5] != candidates[i][5])) {
                continue;
            }
            if (unionGuardedIou(candidates[i], candidates[j]) > iouThreshold) {
                suppressed[j] = true;
            }
        }
    }
    return kept;
}

Rows anchorFreeYolo(const float* data, int channels, int proposals, float confidence, float iou) {
    const int classes = channels - 4;
    Rows candidates;
    for (int p = 0; p < proposals; ++p) {
        float best = confidence;
        int bestClass = -1;
        for (int k = 0; k < classes; ++k) {
            const float score = data[(4 + k) * proposals + p];
            if (score > best) {
                best = score;
                bestClass = k;
            }
        }
        if (bestClass < 0) {
            continue;
        }
        const float cx = data[p];
        const float cy = data[proposals + p];
        const float w = data[2 * proposals + p];
        const float h = data[3 * proposals + p];
        candidates.push_back(
            box(cx - w * 0.5f, cy - h * 0.5f, w * 0.5f + cx, h * 0.5f + cy, best, bestClass));
    }

    std::vector<size_t> order(candidates.size());
    std::iota(order.begin(), order.end(), 0);
    std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) {
        if (candidates[a][5] != candidates[b][5]) {
            return candidates[a][5] < candidates[b][5];
        }
        return candidates[a][4] > candidates[b][4];
    });
    std::vector<bool> suppressed(candidates.size(), false);
    for (size_t i = 0; i < order.size(); ++i) {
        if (suppressed[order[i]]) {
            continue;
        }
        for (size_t j = i + 1; j < order.size() && candidates[order[j]][5] == candidates[order[i]][5]; ++j) {
            if (!suppressed[order[j]] &&
                overlapGuardedIou(candidates[order[i]], candidates[order[j]]) > iou) {
                suppressed[order[j]] = true;
            }
        }
    }
    Rows result;
    for (size_t i = 0; i < candidates.size(); ++i) {
        if (!suppressed[i]) {
            result.push_back(candidates[i]);
        }
    }
    return result;
}

Rows anchorBasedYolo(const float* data, int anchors, int rowSize, float confidence, float iou) {
    Rows candidates;
    for (int i = 0; i < anchors; ++i) {
        const float* row = data + i * rowSize;
        float best = 0.0f;
        int bestClass = 0;
        for (int k = 0; k < rowSize - 5; ++k) {
            if (row[5 + k] * row[4] > best) {
                best = row[5 + k] * row[4];
                bestClass = k;
            }
        }
        if (best >= confidence) {
            candidates.push_back(box(row[0] - row[2] * 0.5f, row[1] - row[3] * 0.5f, row[2] * 0.5f + row[0],
                                     row[3] * 0.5f + row[1], best, bestClass));
        }
    }
    return nms(candidates, iou, false);
}

Rows yolo26(const float* data, int rows, float confidence) {
    Rows result;
    for (int i = 0; i < rows; ++i) {
        if (data[i * 6 + 4] >= confidence) {
            result.push_back({data[i * 6], data[i * 6 + 1], data[i * 6 + 2], data[i * 6 + 3], data[i * 6 + 4],
                              data[i * 6 + 5]});
        }
    }
    return result;
}

Rows yoloNas(const float* boxes, const float* scores, int count, int classes, float confidence, float iou) {
    Rows candidates;
    for (int i = 0; i < count; ++i) {
        float best = 0.0f;
        int bestClass = 0;
        for (int k = 0; k < classes; ++k) {
            if (scores[i * classes + k] > best) {
                best = scores[i * classes + k];
                bestClass = k;
            }
        }
        if (best >= confidence) {
            candidates.push_back(
                box(boxes[i * 4], boxes[i * 4 + 1], boxes[i * 4 + 2], boxes[i * 4 + 3], best, bestClass));
        }
    }
    return nms(candidates, iou, false);
}

Rows yolo8Deepx(const std::vector<DeepxLevel>& levels, float confidence, float iou) {
    Rows candidates;
    for (const DeepxLevel& level : levels) {
        const int plane = level.height * level.width;
        for (int j = 0; j < level.height; ++j) {
            for (int k = 0; k < level.width; ++k) {
                const int cell = j * level.width + k;
                float best = confidence;
                int bestClass = -1;
                for (int c = 0; c < level.classes; ++c) {
                    if (level.classification[c * plane + cell] > best) {
                        best = level.classification[c * plane + cell];
                        bestClass = c;
                    }
                }
                if (bestClass < 0) {
                    continue;
                }
                float distance[4];
                for (int side = 0; side < 4; ++side) {
                    distance[side] = expectation(level.regression + side * 16 * plane + cell, 16, plane);
                }
                const float s = static_cast<float>(level.stride);
                candidates.push_back(box((k + 0.5f - distance[0]) * s, (j + 0.5f - distance[1]) * s,
                                         (k + 0.5f + distance[2]) * s, (j + 0.5f + distance[3]) * s, best,
                                         bestClass));
            }
        }
    }
    return nms(candidates, iou, true);
}

Rows ssd(const float* boxes, const float* scores, int count, int columns, float confidence, float iou,
         int width, int height) {
    Rows candidates;
    for (int i = 0; i < count; ++i) {
        float best = 0.0f;
        int bestClass = 0;
        for (int c = 1; c < columns; ++c) {
            if (scores[i * columns + c] > best) {
                best = scores[i * columns + c];
                bestClass = c - 1;
            }
        }
        if (best >= confidence) {
            const float* b = boxes + i * 4;
            candidates.push_back(
                box(b[1] * width, b[0] * height, b[3] * width, b[2] * height, best, bestClass));
        }
    }
    return nms(candidates, iou, false);
}

Rows nanoDet(const std::vector<NanoDetLevel>& levels, float confidence, float iou) {
    Rows candidates;
    for (const NanoDetLevel& level : levels) {
        const int cells = level.side * level.side;
        const int step = cells / 100 >= 2 ? cells / 100 : 1;
        bool logits = false;
        for (int cell = 0; cell < cells; cell += step) {
            for (int c = 0; c < level.classCount; ++c) {
                const float v = level.classes[cell * level.classStep + c];
                logits = logits || v < -0.01f || v > 1.01f;
            }
        }
        for (int j = 0; j < level.side; ++j) {
            for (int k = 0; k < level.side; ++k) {
                const int cell = j * level.side + k;
                float best = 0.0f;
                int bestClass = 0;
                for (int c = 0; c < level.classCount; ++c) {
                    float v = level.classes[cell * level.classStep + c];
                    if (logits) {
                        v = 1.0f / (1.0f + std::exp(-v));
                    }
                    if (v > best) {
                        best = v;
                        bestClass = c;
                    }
                }
                if (best < confidence) {
                    continue;
                }
                float distance[4];
                for (int side = 0; side < 4; ++side) {
                    const float* bins = level.distances + cell * level.distanceStep + side * 8;
                    float maximum = bins[0];
                    for (int b = 1; b < 8; ++b) {
                        maximum = std::max(maximum, bins[b]);
                    }
                    float e[8];
                    float total = 0.0f;
                    for (int b = 0; b < 8; ++b) {
                        e[b] = std::exp(bins[b] - maximum);
                        total += e[b];
                    }
                    float d = 0.0f;
                    for (int b = 0; b < 8; ++b) {
                        d += static_cast<float>(b) * (e[b] / total);
                    }
                    distance[side] = static_cast<float>(level.stride) * d;
                }
                const float cx = (k + 0.5f) * level.stride;
                const float cy = (j + 0.5f) * level.stride;
                candidates.push_back(box(cx - distance[0], cy - distance[1], cx + distance[2],
                                         cy + distance[3], best, bestClass));
            }
        }
    }
    return nms(candidates, iou, false);
}

Rows efficientDet(const float* boxes, const float* scores, const float* classes, int count, float confidence,
                  int width, int height) {
    Rows result;
    for (int i = 0; i < count; ++i) {
        if (scores[i] < confidence) {
            continue;
        }
        const float cls = classes[i] < 2.0f ? 0.0f : std::trunc(classes[i]) - 1.0f;
        const float* b = boxes + i * 4;
        result.push_back({b[1] * width, b[0] * height, b[3] * width, b[2] * height, scores[i], cls});
    }
    return result;
}

Rows rtDetr(const float* logits, const float* boxes, int queries, int classes, float confidence, int width,
            int height) {
    Rows result;
    for (int q = 0; q < queries; ++q) {
        const float* row = logits + q * classes;
        float maximum = row[0];
        for (int k = 1; k < classes; ++k) {
            maximum = std::max(maximum, row[k]);
        }
        std::vector<float> e(classes);
        float total = 0.0f;
        for (int k = 0; k < classes; ++k) {
            e[k] = std::exp(row[k] - maximum);
            total += e[k];
        }
        float best = 0.0f;
        int bestClass = 0;
        for (int k = 0; k < classes; ++k) {
            if (e[k] / total > best) {
                best = e[k] / total;
                bestClass = k;
            }
        }
        if (best < confidence) {
            continue;
        }
        const float* b = boxes + q * 4;
        result.push_back(box(b[0] * width - (b[2] * width) * 0.5f, b[1] * height - (b[3] * height) * 0.5f,
                             b[0] * width + (b[2] * width) * 0.5f, b[1] * height + (b[3] * height) * 0.5f,
                             best, bestClass));
    }
    return result;
}

Rows rfDetr(const float* scores, const float* boxes, const float* labels, int count, float confidence,
            int width, int height) {
    Rows result;
    for (int i = 0; i < count; ++i) {
        if (scores[i] >= confidence) {
            const float* b = boxes + i * 4;
            result.push_back(
                {b[0] * width, b[1] * height, b[2] * width, b[3] * height, scores[i], labels[i]});
        }
    }
    return result;
}

}  // namespace reference
