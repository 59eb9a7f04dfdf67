// Fixtures of the postprocessing tests: a device with one pipeline stage and its model, requests
// and results for that stage, hand-built tensor sets in the exact output layouts, and log capture.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "corvane/vekai_corvane_utils.h"
#include "corvane/vekai_postprocessor.h"
#include "utils/tensor_utils.h"

using BoxRow = std::array<float, 6>;  // x1, y1, x2, y2, score, class

inline constexpr const char* kBoxesName = "bboxes-format:xyxysc;0:person;1:car;2:dog";

// One device with one stage; change the stage or model before taking requests.
struct StageFixture {
    StageFixture(std::string deviceId = "device-a", uint64_t frameWidth = 640, uint64_t frameHeight = 640);

    std::shared_ptr<ModelDetails_t> model;
    pipeline_stage_parameters_t stage;
    std::shared_ptr<DeviceAgentDetails_t> details;
    uint64_t frameWidth;
    uint64_t frameHeight;

    // The settings are frozen with a copy of the stage as it is now.
    std::shared_ptr<InferenceInput_t> request(int64_t timestampUs,
                                              std::array<float, 4> roi = {0, 0, 1, 1}) const;
    InferenceOutput_t result(int64_t timestampUs, TensorsPtr tensors) const;
};

TensorsPtr boxesSet(const std::vector<BoxRow>& rows, const char* name = kBoxesName);
TensorsPtr floatSet(const char* name, const std::vector<float>& values, std::vector<int32_t> shape = {});
// Appends a copy of every entry of `more` to `set`.
TensorsPtr mergeSets(TensorsPtr set, TensorsPtr more);

// Model pixels of a 640 x 640 model for a box given in frame fractions of a full 640 x 640 frame.
BoxRow pixelRow(float x, float y, float width, float height, float score, float classIndex);

// Runs `passes` frames of the same boxes, one every `stepUs` from `startUs`, and returns the last
// pass's output.
vekai::PostprocessingOutput_t runFrames(vekai::PostProcessor& processor, const StageFixture& fixture,
                                        const std::vector<BoxRow>& rows, int passes, int64_t startUs = 0,
                                        int64_t stepUs = 200000);

size_t objectCount(const vekai::ObjectsByClass& objects);

// The name of a parameterised case, made from its label.
std::string labelToTestName(const char* label);

struct CaseName {
    template <class Case>
    std::string operator()(const testing::TestParamInfo<Case>& info) const {
        return labelToTestName(info.param.label);
    }
};

// Sends log lines (verbose level) to standard output and captures them until text() is called.
class LogCapture {
public:
    LogCapture();
    ~LogCapture();
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    const std::string& text();

private:
    bool capturing = true;
    std::string captured;
};
