#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "postprocessing_test_support.h"

namespace {

using vekai::PostProcessor;

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

struct RowCase {
    const char* label;
    BoxRow row;
    const char* className;  // the class it is reported under, or null
    const char* warning;    // a line the pass logs, or null
};

class BoxRows : public testing::TestWithParam<RowCase> {};

TEST_P(BoxRows, AreReadAsClassIndexScoreAndBox) {
    const RowCase& c = GetParam();
    StageFixture fixture;
    PostProcessor processor("/tmp");
    LogCapture log;
    const auto output = runFrames(processor, fixture, {c.row}, 3);
    if (c.className == nullptr) {
        EXPECT_TRUE(output.objects.empty()) << c.label;
    } else {
        ASSERT_EQ(output.objects.size(), 1u) << c.label;
        EXPECT_EQ(output.objects.begin()->first, c.className) << c.label;
    }
    if (c.warning != nullptr) {
        EXPECT_NE(log.text().find(c.warning), std::string::npos) << c.label << "\n" << log.text();
    } else {
        EXPECT_EQ(log.text().find("invalid order"), std::string::npos) << c.label;
    }
}

const BoxRow kRow = pixelRow(0.1f, 0.1f, 0.2f, 0.2f, 0.9f, 0);

BoxRow with(float score, float classIndex) {
    BoxRow row = kRow;
    row[4] = score;
    row[5] = classIndex;
    return row;
}

INSTANTIATE_TEST_SUITE_P(
    Rows, BoxRows,
    testing::Values(RowCase{"class 1.9 is class 1", with(0.9f, 1.9f), "car", nullptr},
                    RowCase{"class -0.5 is class 0", with(0.9f, -0.5f), "person", nullptr},
                    RowCase{"class -1 is skipped", with(0.9f, -1.0f), nullptr, nullptr},
                    RowCase{"last class", with(0.9f, 2.0f), "dog", nullptr},
                    RowCase{"class past the names", with(0.9f, 3.0f), nullptr,
                            "Warning! Got an invalid order from the model: 3\n"},
                    RowCase{"huge class", with(0.9f, 1e10f), nullptr,
                            "Warning! Got an invalid order from the model: 2147483647\n"},
                    RowCase{"class NaN", with(0.9f, kNaN), nullptr, nullptr},
                    RowCase{"score just above 1e-6", with(0.0000011f, 0), "person", nullptr},
                    // The float nearest to 1e-6 lies below it in double precision.
                    RowCase{"score 1e-6 as float", with(1e-6f, 0), nullptr, nullptr},
                    RowCase{"score 0", with(0.0f, 0), nullptr, nullptr},
                    RowCase{"score NaN", with(kNaN, 0), nullptr, nullptr},
                    // A low score is skipped before the class is checked.
                    RowCase{"low score past the names", with(0.0f, 3.0f), nullptr, nullptr},
                    RowCase{"coordinate NaN", {kNaN, 64, 128, 128, 0.9f, 0}, nullptr, nullptr},
                    RowCase{"coordinate infinite",
                            {0, 64, std::numeric_limits<float>::infinity(), 128, 0.9f, 0},
                            nullptr,
                            nullptr}),
    CaseName());

TEST(ObjectPath, ReportsBoxesInFrameFractionsWithTheirScores) {
    StageFixture fixture("device-a", 1280, 720);
    fixture.stage.resizingMethod = vekai::ResizingMethod::Letterbox;
    PostProcessor processor("/tmp");
    const auto output =
        runFrames(processor, fixture, {{0, 140, 640, 500, 0.75f, 0}, {0, 140, 320, 320, 0.5f, 1}}, 3);
    ASSERT_EQ(output.objects.size(), 2u);
    const VekAIObject_t& person = *output.objects.at("person").at(0);
    EXPECT_FLOAT_EQ(person.boundingBox.x, 0);
    EXPECT_FLOAT_EQ(person.boundingBox.y, 0);
    EXPECT_FLOAT_EQ(person.boundingBox.width, 1);
    EXPECT_FLOAT_EQ(person.boundingBox.height, 1);
    EXPECT_EQ(person.confidence, 0.75f);
    EXPECT_EQ(person.typeId, "vek.base.Person");
    const VekAIObject_t& car = *output.objects.at("car").at(0);
    EXPECT_FLOAT_EQ(car.boundingBox.width, 0.5f);
    EXPECT_FLOAT_EQ(car.boundingBox.height, 0.5f);
    EXPECT_EQ(car.typeId, "vek.base.Car");
}

TEST(ObjectPath, OnlyWholeRowsAreRead) {
    StageFixture fixture;
    PostProcessor processor("/tmp");
    std::vector<float> values(kRow.begin(), kRow.end());
    values.insert(values.end(), {64, 64, 128, 128, 0.9f});  // five values of a second row
    for (int64_t t : {0, 200000, 400000}) {
        InferenceOutput_t result = fixture.result(t, floatSet(kBoxesName, values));
        const auto output = processor.process(result);
        if (t == 400000) {
            EXPECT_EQ(objectCount(output.objects), 1u);
        }
    }
    EXPECT_EQ(processor.tracker().tracksOf("device-a", "person").size(), 1u);
}

TEST(ObjectPath, ClassNamesComeFromTheModelWhenTheOutputNameIsTheDeclaredOne) {
    StageFixture fixture;
    fixture.model->boxesOutputName = "detections format:xyxysc";
    fixture.model->boxesClassNames = {"bicycle", "truck"};
    PostProcessor processor("/tmp");
    std::vector<float> values(kRow.begin(), kRow.end());
    values[5] = 1;
    vekai::PostprocessingOutput_t output;
    for (int64_t t : {0, 200000, 400000}) {
        InferenceOutput_t result = fixture.result(t, floatSet("detections format:xyxysc", values));
        output = processor.process(result);
    }
    ASSERT_EQ(output.objects.size(), 1u);
    EXPECT_EQ(output.objects.begin()->first, "truck");
    EXPECT_EQ(output.objects.begin()->second.at(0)->typeId, "vek.base.Truck");
}

TEST(ObjectPath, AnOutputWithoutNamedClassesReportsEveryRowAsInvalid) {
    StageFixture fixture;
    PostProcessor processor("/tmp");
    LogCapture log;
    InferenceOutput_t result = fixture.result(0, boxesSet({kRow}, "output0 format:xyxysc"));
    const auto output = processor.process(result);
    EXPECT_TRUE(output.objects.empty());
    EXPECT_NE(log.text().find("Warning! Got an invalid order from the model: 0\n"), std::string::npos);
}

TEST(ObjectPath, TheFirstFloatTensorWithTheBoxFormatIsUsed) {
    StageFixture fixture;
    PostProcessor processor("/tmp");
    vekai::PostprocessingOutput_t output;
    for (int64_t t : {0, 200000, 400000}) {
        TensorsPtr set = allocate_tensors(1, 1);
        const int32_t shape[] = {1, 6};
        const int32_t ints[6] = {0, 0, 64, 64, 1, 1};
        fill_tensor(set->tensors[0], "ints-bboxes-format:xyxysc;0:person;1:car", TENSOR_TYPE_INT32, shape,
                    ints, sizeof(ints));
        set = mergeSets(std::move(set), boxesSet({kRow}, "first-bboxes-format:xyxysc;0:cat"));
        set = mergeSets(std::move(set), boxesSet({kRow}, "second-bboxes-format:xyxysc;0:dog"));
        InferenceOutput_t result = fixture.result(t, std::move(set));
        output = processor.process(result);
    }
    ASSERT_EQ(output.objects.size(), 1u);
    EXPECT_EQ(output.objects.begin()->first, "cat");
}

TEST(ObjectPath, WithoutABoxTensorThereAreNoObjects) {
    StageFixture fixture;
    PostProcessor processor("/tmp");
    LogCapture log;
    InferenceOutput_t result = fixture.result(0, floatSet("scores-0:a;1:b", {0.1f, 0.9f}));
    const auto output = processor.process(result);
    EXPECT_TRUE(output.objects.empty());
    EXPECT_NE(log.text().find("Notice: Model has no bboxes to process.\n"), std::string::npos);
    InferenceOutput_t empty = fixture.result(1000, nullptr);
    EXPECT_TRUE(processor.process(empty).objects.empty());
}

TEST(ObjectPath, ABoxTensorWithoutDataHasNoRows) {
    StageFixture fixture;
    PostProcessor processor("/tmp");
    InferenceOutput_t result = fixture.result(0, boxesSet({kRow}));
    std::free(result.tensors->tensors[0].data);
    result.tensors->tensors[0].data = nullptr;
    EXPECT_TRUE(processor.process(result).objects.empty());
    EXPECT_TRUE(processor.tracker().tracksOf("device-a", "person").empty());
}

TEST(ObjectPath, BoxesThatCannotBeMappedAreRefused) {
    StageFixture fixture;
    fixture.model->inputWidth = 0;
    PostProcessor processor("/tmp");
    LogCapture log;
    const auto output = runFrames(processor, fixture, {kRow}, 3);
    EXPECT_TRUE(output.objects.empty());
    EXPECT_TRUE(processor.tracker().tracksOf("device-a", "person").empty());
    EXPECT_NE(log.text().find("Warning! Cannot map boxes of model detector"), std::string::npos);
}

TEST(ObjectPath, LogsTheReportedCountPerClass) {
    StageFixture fixture;
    PostProcessor processor("/tmp");
    LogCapture log;
    runFrames(processor, fixture, {kRow, pixelRow(0.5f, 0.5f, 0.2f, 0.2f, 0.8f, 0)}, 3);
    EXPECT_NE(log.text().find("Device Camera device-a Model detector Detected 2 objects of class: person\n"),
              std::string::npos)
        << log.text();
}

TEST(ObjectPath, RawOutputsAreDecodedFirstAndReplaceTheTensorSet) {
    StageFixture fixture;
    fixture.model->rawPostprocessingEnabled = true;
    fixture.model->rawArchitecture = RawPostprocessingArchitecture::Yolo26;
    fixture.model->rawConfidenceThreshold = 0.5f;
    fixture.model->boxesOutputName = "output0 format:xyxysc";
    fixture.model->boxesClassNames = {"person", "car"};
    PostProcessor processor("/tmp");
    const std::vector<float> raw{64,  64,  192, 192, 0.9f, 1,   // kept
                                 320, 320, 448, 448, 0.4f, 0};  // below the decoder's threshold
    vekai::PostprocessingOutput_t output;
    InferenceOutput_t last;
    for (int64_t t : {0, 200000, 400000}) {
        last = fixture.result(t, floatSet("output0", raw, {1, 2, 6}));
        output = processor.process(last);
    }
    ASSERT_EQ(output.objects.size(), 1u);
    const VekAIObject_t& car = *output.objects.at("car").at(0);
    EXPECT_FLOAT_EQ(car.boundingBox.x, 0.1f);
    EXPECT_FLOAT_EQ(car.boundingBox.width, 0.2f);
    ASSERT_EQ(tensor_entries(last.tensors.get()).size(), 1u);
    EXPECT_STREQ(last.tensors->tensors[0].name, "output0 format:xyxysc");
}

TEST(ObjectPath, AResultWithoutStageOrDeviceIsSkipped) {
    PostProcessor processor("/tmp");
    StageFixture fixture;
    LogCapture log;
    InferenceOutput_t noInput;
    noInput.tensors = boxesSet({kRow});
    EXPECT_TRUE(processor.process(noInput).objects.empty());
    InferenceOutput_t noDetails = fixture.result(0, boxesSet({kRow}));
    noDetails.input->details.reset();
    EXPECT_TRUE(processor.process(noDetails).objects.empty());
    EXPECT_NE(log.text().find("Warning! Postprocessing skipped a result without device, stage or model.\n"),
              std::string::npos);
}

}  // namespace
