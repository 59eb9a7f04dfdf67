#include "synthetic_outputs.h"

#include <algorithm>
#include <numeric>
#include <random>

namespace synthetic {

namespace {

constexpr float kInputSize = 640.0f;

struct Object {
    float cx;
    float cy;
    float w;
    float h;
    int cls;
};

std::vector<Object> makeObjects(int count, int classes, std::mt19937& rng) {
    std::uniform_real_distribution<float> centre(32.0f, kInputSize - 32.0f);
    std::uniform_real_distribution<float> size(16.0f, 200.0f);
    std::uniform_int_distribution<int> cls(0, classes - 1);
    std::vector<Object> objects;
    for (int i = 0; i < count; ++i) {
        objects.push_back({centre(rng), centre(rng), size(rng), size(rng), cls(rng)});
    }
    return objects;
}

// Distinct proposal indices, in random order.
std::vector<int> pickProposals(int proposals, int hot, std::mt19937& rng) {
    std::vector<int> all(proposals);
    std::iota(all.begin(), all.end(), 0);
    std::shuffle(all.begin(), all.end(), rng);
    all.resize(std::min(hot, proposals));
    return all;
}

}  // namespace

std::vector<float> anchorFreeOutput(int classes, int proposals, int hot, uint32_t seed, bool spread) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> background(0.0f, 0.05f);
    std::uniform_real_distribution<float> position(0.0f, kInputSize);
    std::uniform_real_distribution<float> size(8.0f, 128.0f);
    std::uniform_real_distribution<float> jitter(-4.0f, 4.0f);
    std::uniform_real_distribution<float> confident(0.3f, 0.95f);
    const size_t n = static_cast<size_t>(proposals);
    std::vector<float> data((4 + static_cast<size_t>(classes)) * n);
    for (size_t p = 0; p < n; ++p) {
        data[p] = position(rng);
        data[n + p] = position(rng);
        data[2 * n + p] = size(rng);
        data[3 * n + p] = size(rng);
    }
    for (size_t i = 4 * n; i < data.size(); ++i) {
        data[i] = background(rng);
    }
    const std::vector<Object> objects = makeObjects(spread ? hot : std::max(1, hot / 8), classes, rng);
    const std::vector<int> chosen = pickProposals(proposals, hot, rng);
    for (size_t i = 0; i < chosen.size(); ++i) {
        const Object& object = objects[i % objects.size()];
        const size_t p = static_cast<size_t>(chosen[i]);
        data[p] = object.cx + jitter(rng);
        data[n + p] = object.cy + jitter(rng);
        data[2 * n + p] = object.w + jitter(rng);
        data[3 * n + p] = object.h + jitter(rng);
        data[(4 + static_cast<size_t>(object.cls)) * n + p] = confident(rng);
    }
    return data;
}

std::vector<float> anchorBasedOutput(int classes, int anchors, int hot, uint32_t seed) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> background(0.0f, 0.05f);
    std::uniform_real_distribution<float> position(0.0f, kInputSize);
    std::uniform_real_distribution<float> size(8.0f, 128.0f);
    std::uniform_real_distribution<float> jitter(-4.0f, 4.0f);
    std::uniform_real_distribution<float> confident(0.5f, 1.0f);
    const size_t rowSize = 5 + static_cast<size_t>(classes);
    std::vector<float> data(static_cast<size_t>(anchors) * rowSize);
    for (size_t a = 0; a < static_cast<size_t>(anchors); ++a) {
        float* row = data.data() + a * rowSize;
        row[0] = position(rng);
        row[1] = position(rng);
        row[2] = size(rng);
        row[3] = size(rng);
        for (size_t c = 4; c < rowSize; ++c) {
            row[c] = background(rng);
        }
    }
    const std::vector<Object> objects = makeObjects(std::max(1, hot / 8), classes, rng);
    const std::vector<int> chosen = pickProposals(anchors, hot, rng);
    for (size_t i = 0; i < chosen.size(); ++i) {
        const Object& object = objects[i % objects.size()];
        float* row = data.data() + static_cast<size_t>(chosen[i]) * rowSize;
        row[0] = object.cx + jitter(rng);
        row[1] = object.cy + jitter(rng);
        row[2] = object.w + jitter(rng);
        row[3] = object.h + jitter(rng);
        row[4] = confident(rng);
        row[5 + object.cls] = confident(rng);
    }
    return data;
}

DetrOutput rtDetrOutput(int queries, int classes, int confident, uint32_t seed) {
    std::mt19937 rng(seed);
    std::normal_distribution<float> logit(-4.0f, 1.0f);
    std::uniform_real_distribution<float> strong(2.0f, 8.0f);
    std::uniform_real_distribution<float> centre(0.05f, 0.95f);
    std::uniform_real_distribution<float> size(0.02f, 0.4f);
    std::uniform_int_distribution<int> cls(0, classes - 1);
    DetrOutput output;
    output.logits.resize(static_cast<size_t>(queries) * classes);
    output.boxes.resize(static_cast<size_t>(queries) * 4);
    for (float& value : output.logits) {
        value = logit(rng);
    }
    for (int q = 0; q < queries; ++q) {
        float* box = output.boxes.data() + static_cast<size_t>(q) * 4;
        box[0] = centre(rng);
        box[1] = centre(rng);
        box[2] = size(rng);
        box[3] = size(rng);
    }
    for (int q : pickProposals(queries, confident, rng)) {
        output.logits[static_cast<size_t>(q) * classes + cls(rng)] = strong(rng);
    }
    return output;
}

}  // namespace synthetic
