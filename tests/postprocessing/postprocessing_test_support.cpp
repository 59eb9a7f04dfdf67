#include "postprocessing_test_support.h"

#include <gtest/gtest.h>

#include <cctype>

#include "vekai_utilities/vekai_utils.h"

StageFixture::StageFixture(std::string deviceId, uint64_t frameWidth, uint64_t frameHeight)
    : model(std::make_shared<ModelDetails_t>()),
      details(std::make_shared<DeviceAgentDetails_t>()),
      frameWidth(frameWidth),
      frameHeight(frameHeight) {
    model->id = "model-1";
    model->name = "detector";
    model->inputWidth = 640;
    model->inputHeight = 640;
    model->inputChannels = 3;
    stage.stageId = "stage-1";
    stage.model = model;
    stage.resizingMethod = vekai::ResizingMethod::Stretch;
    details->deviceId = std::move(deviceId);
    details->deviceName = "Camera " + details->deviceId;
}

std::shared_ptr<InferenceInput_t> StageFixture::request(int64_t timestampUs, std::array<float, 4> roi) const {
    auto settings = std::make_shared<DeviceAgentSettings_t>();
    settings->active = true;
    settings->stages.push_back(stage);
    auto input = std::make_shared<InferenceInput_t>();
    input->timestampUs = timestampUs;
    input->frameWidth = frameWidth;
    input->frameHeight = frameHeight;
    input->settings = settings;
    input->details = details;
    input->stage = &settings->stages.front();
    input->roi = roi;
    return input;
}

InferenceOutput_t StageFixture::result(int64_t timestampUs, TensorsPtr tensors) const {
    InferenceOutput_t output;
    output.input = request(timestampUs);
    output.tensors = std::move(tensors);
    return output;
}

TensorsPtr boxesSet(const std::vector<BoxRow>& rows, const char* name) {
    std::vector<float> values;
    for (const BoxRow& row : rows)
        values.insert(values.end(), row.begin(), row.end());
    return floatSet(name, values, {static_cast<int32_t>(rows.size()), 6});
}

TensorsPtr floatSet(const char* name, const std::vector<float>& values, std::vector<int32_t> shape) {
    if (shape.empty())
        shape = {static_cast<int32_t>(values.size())};
    TensorsPtr set = allocate_tensors(7, 1);
    fill_tensor(set->tensors[0], name, TENSOR_TYPE_FLOAT32, shape, values.data(),
                values.size() * sizeof(float));
    return set;
}

TensorsPtr mergeSets(TensorsPtr set, TensorsPtr more) {
    const auto first = tensor_entries(set.get());
    const auto second = tensor_entries(more.get());
    TensorsPtr merged = allocate_tensors(set->id, static_cast<int32_t>(first.size() + second.size()));
    size_t i = 0;
    for (const auto part : {first, second}) {
        for (const Tensor& entry : part) {
            fill_tensor(merged->tensors[i++], entry.name, entry.type, tensor_dims(entry), entry.data,
                        entry.size);
        }
    }
    return merged;
}

BoxRow pixelRow(float x, float y, float width, float height, float score, float classIndex) {
    return {x * 640, y * 640, (x + width) * 640, (y + height) * 640, score, classIndex};
}

vekai::PostprocessingOutput_t runFrames(vekai::PostProcessor& processor, const StageFixture& fixture,
                                        const std::vector<BoxRow>& rows, int passes, int64_t startUs,
                                        int64_t stepUs) {
    vekai::PostprocessingOutput_t output;
    for (int i = 0; i < passes; ++i) {
        InferenceOutput_t result = fixture.result(startUs + i * stepUs, boxesSet(rows));
        output = processor.process(result);
    }
    return output;
}

size_t objectCount(const vekai::ObjectsByClass& objects) {
    size_t count = 0;
    for (const auto& [name, list] : objects)
        count += list.size();
    return count;
}

std::string labelToTestName(const char* label) {
    std::string name;
    bool upper = true;
    for (const char* c = label; *c != '\0'; ++c) {
        if (std::isalnum(static_cast<unsigned char>(*c))) {
            name += upper ? static_cast<char>(std::toupper(static_cast<unsigned char>(*c))) : *c;
            upper = false;
        } else {
            upper = true;
        }
    }
    return name;
}

LogCapture::LogCapture() {
    vekai_initialize_logging(nullptr, nullptr, nullptr, true, false, 2);
    testing::internal::CaptureStdout();
}

LogCapture::~LogCapture() {
    text();
    vekai_finalise_logging();
}

const std::string& LogCapture::text() {
    if (capturing) {
        captured = testing::internal::GetCapturedStdout();
        capturing = false;
    }
    return captured;
}
