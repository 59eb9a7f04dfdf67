// The image half of the preprocessor: choice of the image input and of the byte or float road,
// the auxiliary mask and NMS inputs, and the tensor set they are assembled into.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "corvane/vekai_preprocessor.h"
#include "test_frame.h"
#include "test_reference.h"
#include "vekai_utilities/vekai_utils.h"

namespace {

using namespace preprocessing_test;
using vekai::CropBox;
using vekai::Preprocessor;
using vekai::ResizingMethod;
using vekai::VideoFrame;

constexpr CropBox kWholeFrame{0, 0, 1, 1};

TensorDetails_t input(const std::string& name, TensorElementType type, std::vector<uint64_t> shape) {
    TensorDetails_t details;
    details.name = name;
    details.type = type;
    details.shape = std::move(shape);
    return details;
}

pipeline_stage_parameters_t stageFor(std::vector<TensorDetails_t> inputs, uint64_t width = 32,
                                     uint64_t height = 24, uint64_t channels = 3) {
    auto model = std::make_shared<ModelDetails_t>();
    model->id = "model-7";
    model->runtimeName = "Generic CPU";
    model->inputs = std::move(inputs);
    model->inputWidth = width;
    model->inputHeight = height;
    model->inputChannels = channels;
    model->order = ImageOrder::Planar;
    model->means = {10, 20, 30};
    model->vars = {2, 4, 8};
    pipeline_stage_parameters_t stage;
    stage.stageId = "node-1";
    stage.model = model;
    stage.nms = 0.45f;
    stage.resizingMethod = ResizingMethod::Letterbox;
    return stage;
}

std::vector<int32_t> shapeOf(const Tensor& entry) {
    return std::vector<int32_t>(entry.shape, entry.shape + entry.rank);
}

std::vector<uint8_t> dataOf(const Tensor& entry) {
    const auto* bytes = static_cast<const uint8_t*>(entry.data);
    return std::vector<uint8_t>(bytes, bytes + entry.size);
}

// Each test logs into a file of its own, read back after logging has stopped.
class PreprocessorTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/vek_preprocessor_XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        directory = pattern;
        vekai_initialize_logging((directory / "start.log").c_str(), (directory / "plugin.log").c_str(),
                                 "AI Plugin: ", false, true, 1);
        frame = vek::sdk::Ptr<TestFrame>(new TestFrame(64, 40, 8));
        frame->fillRandom(21);
    }

    void TearDown() override {
        vekai_finalise_logging();
        std::error_code ignored;
        std::filesystem::remove_all(directory, ignored);
    }

    std::string loggedText() {
        vekai_finalise_logging();
        std::ifstream in(directory / "start.log");
        std::ostringstream text;
        text << in.rdbuf();
        return text.str();
    }

    // Both operations, which must agree; returns the direct one.
    TensorsPtr preprocessBoth(const pipeline_stage_parameters_t& stage, const CropBox& crop = kWholeFrame) {
        const VideoFrame image(*frame, stage.model->order);
        TensorsPtr fromImage = preprocessor.preprocess(image, stage, crop);
        TensorsPtr direct = preprocessor.preprocessDirect(*frame, stage, crop);
        EXPECT_EQ(fromImage == nullptr, direct == nullptr);
        if (fromImage && direct) {
            EXPECT_EQ(fromImage->count, direct->count);
            for (int32_t i = 0; i < std::min(fromImage->count, direct->count); ++i) {
                EXPECT_STREQ(fromImage->tensors[i].name, direct->tensors[i].name);
                EXPECT_EQ(fromImage->tensors[i].type, direct->tensors[i].type);
                EXPECT_EQ(shapeOf(fromImage->tensors[i]), shapeOf(direct->tensors[i]));
                EXPECT_EQ(dataOf(fromImage->tensors[i]), dataOf(direct->tensors[i])) << "entry " << i;
            }
        }
        return direct;
    }

    std::filesystem::path directory;
    vek::sdk::Ptr<TestFrame> frame;
    Preprocessor preprocessor;
};

TEST_F(PreprocessorTest, SingleInputTakesTheImageWhateverItsName) {
    const auto stage = stageFor({input("input", TENSOR_TYPE_FLOAT32, {1, 3, 24, 32})});
    const TensorsPtr set = preprocessBoth(stage, {0.1f, 0.2f, 0.9f, 0.8f});
    ASSERT_TRUE(set);
    ASSERT_EQ(set->count, 1);
    const Tensor& image = set->tensors[0];
    EXPECT_STREQ(image.name, "input");
    EXPECT_EQ(image.type, TENSOR_TYPE_FLOAT32);
    EXPECT_EQ(shapeOf(image), (std::vector<int32_t>{1, 3, 24, 32}));
    EXPECT_EQ(dataOf(image),
              VideoFrame::directPreprocess(*frame, ImageOrder::Planar, 32, 24, 3, {0.1f, 0.2f, 0.9f, 0.8f},
                                           ResizingMethod::Letterbox, {10, 20, 30}, {2, 4, 8}));
}

TEST_F(PreprocessorTest, ImageThenNmsSensitivity) {
    const auto stage = stageFor({input("nms_sensitivity-", TENSOR_TYPE_FLOAT32, {1}),
                                 input("image-", TENSOR_TYPE_FLOAT32, {1, 24, 32, 3})});
    const TensorsPtr set = preprocessBoth(stage);
    ASSERT_TRUE(set);
    ASSERT_EQ(set->count, 2);
    EXPECT_STREQ(set->tensors[0].name, "image-");
    EXPECT_EQ(set->tensors[0].size, 32u * 24u * 3u * sizeof(float));
    const Tensor& nms = set->tensors[1];
    EXPECT_STREQ(nms.name, "nms_sensitivity-");
    EXPECT_EQ(nms.type, TENSOR_TYPE_FLOAT32);
    EXPECT_EQ(shapeOf(nms), (std::vector<int32_t>{1}));
    ASSERT_EQ(nms.size, sizeof(float));
    EXPECT_EQ(*static_cast<const float*>(nms.data), 0.45f);
}

TEST_F(PreprocessorTest, MaskOfOnesWithTheFirstTwoDimensions) {
    const auto stage = stageFor({input("image-", TENSOR_TYPE_FLOAT32, {1, 3, 24, 32}),
                                 input("nms_sensitivity-", TENSOR_TYPE_FLOAT32, {1}),
                                 input("mask-", TENSOR_TYPE_UINT8, {320, 320, 1})});
    const TensorsPtr set = preprocessBoth(stage);
    ASSERT_TRUE(set);
    ASSERT_EQ(set->count, 3);
    EXPECT_STREQ(set->tensors[0].name, "image-");
    const Tensor& mask = set->tensors[1];
    EXPECT_STREQ(mask.name, "mask-");
    EXPECT_EQ(mask.type, TENSOR_TYPE_UINT8);
    EXPECT_EQ(shapeOf(mask), (std::vector<int32_t>{320, 320}));
    EXPECT_EQ(dataOf(mask), std::vector<uint8_t>(102400, 1));
    EXPECT_STREQ(set->tensors[2].name, "nms_sensitivity-");
}

TEST_F(PreprocessorTest, MaskWithOneDimensionCountsTheMissingOneAsOne) {
    const auto stage = stageFor(
        {input("image-", TENSOR_TYPE_FLOAT32, {1, 3, 24, 32}), input("mask-", TENSOR_TYPE_FLOAT32, {5})});
    const TensorsPtr set = preprocessBoth(stage);
    ASSERT_TRUE(set);
    ASSERT_EQ(set->count, 2);
    EXPECT_EQ(shapeOf(set->tensors[1]), (std::vector<int32_t>{5, 1}));
    EXPECT_EQ(dataOf(set->tensors[1]), std::vector<uint8_t>(5, 1));
}

TEST_F(PreprocessorTest, MissingImageInputGivesNoSetAndAWarning) {
    struct Case {
        const char* what;
        std::vector<TensorDetails_t> inputs;
    };
    const Case cases[] = {
        {"no exact image name",
         {input("images", TENSOR_TYPE_FLOAT32, {1}), input("mask-", TENSOR_TYPE_UINT8, {4, 4})}},
        {"no input", {}},
    };
    for (const Case& c : cases) {
        const auto stage = stageFor(c.inputs);
        EXPECT_FALSE(preprocessBoth(stage)) << c.what;
    }
    const std::string log = loggedText();
    size_t warnings = 0;
    for (size_t at = log.find("Warning! Model model-7 does not support image input!\n");
         at != std::string::npos;
         at = log.find("Warning! Model model-7 does not support image input!\n", at + 1)) {
        ++warnings;
    }
    EXPECT_EQ(warnings, 4u) << log;
}

TEST_F(PreprocessorTest, LastOfSeveralImageInputsIsChosen) {
    const auto stage = stageFor({input("image-", TENSOR_TYPE_FLOAT32, {1, 3, 24, 32}),
                                 input("image-", TENSOR_TYPE_FLOAT32, {1, 24, 32, 3})});
    const TensorsPtr set = preprocessBoth(stage);
    ASSERT_TRUE(set);
    ASSERT_EQ(set->count, 1);
    EXPECT_EQ(shapeOf(set->tensors[0]), (std::vector<int32_t>{1, 24, 32, 3}));
}

TEST_F(PreprocessorTest, ByteInputsGetInterleavedUnnormalisedBytes) {
    struct Case {
        const char* what;
        const char* runtime;
        TensorElementType type;
    };
    const Case cases[] = {
        {"DEEPX runtime with a float input", "DEEPX", TENSOR_TYPE_FLOAT32},
        {"byte input on another runtime", "Generic CPU", TENSOR_TYPE_UINT8},
    };
    for (const Case& c : cases) {
        auto stage = stageFor({input("images", c.type, {1, 3, 24, 32})});
        stage.model->runtimeName = c.runtime;
        const TensorsPtr set = preprocessBoth(stage);
        ASSERT_TRUE(set) << c.what;
        ASSERT_EQ(set->count, 1);
        EXPECT_EQ(set->tensors[0].type, c.type) << c.what;
        EXPECT_EQ(dataOf(set->tensors[0]),
                  VideoFrame::directPreprocessUint8(*frame, 32, 24, kWholeFrame, ResizingMethod::Letterbox))
            << c.what;
    }
}

TEST_F(PreprocessorTest, OneChannelFloatModelGetsAGrayPlane) {
    auto stage = stageFor({input("input", TENSOR_TYPE_FLOAT32, {1, 1, 24, 32})}, 32, 24, 1);
    stage.resizingMethod = ResizingMethod::Crop;
    const TensorsPtr set = preprocessBoth(stage);
    ASSERT_TRUE(set);
    ASSERT_EQ(set->tensors[0].size, 32u * 24u * sizeof(float));
    EXPECT_EQ(dataOf(set->tensors[0]),
              VideoFrame::directPreprocess(*frame, ImageOrder::Planar, 32, 24, 1, kWholeFrame,
                                           ResizingMethod::Crop, {10, 20, 30}, {2, 4, 8}));
}

TEST_F(PreprocessorTest, InterleavedFloatModelFollowsItsOrder) {
    auto stage = stageFor({input("input", TENSOR_TYPE_FLOAT32, {1, 24, 32, 3})});
    stage.model->order = ImageOrder::Interleaved;
    const TensorsPtr set = preprocessBoth(stage);
    ASSERT_TRUE(set);
    EXPECT_EQ(dataOf(set->tensors[0]),
              VideoFrame::directPreprocess(*frame, ImageOrder::Interleaved, 32, 24, 3, kWholeFrame,
                                           ResizingMethod::Letterbox, {10, 20, 30}, {2, 4, 8}));
}

TEST_F(PreprocessorTest, StageWithoutModelGivesNoSet) {
    pipeline_stage_parameters_t stage;
    stage.stageId = "empty-node";
    const VideoFrame image(*frame, ImageOrder::Planar);
    EXPECT_FALSE(preprocessor.preprocess(image, stage, kWholeFrame));
    EXPECT_FALSE(preprocessor.preprocessDirect(*frame, stage, kWholeFrame));
    EXPECT_NE(loggedText().find("Warning! Pipeline node empty-node has no model to preprocess for!\n"),
              std::string::npos);
}

TEST_F(PreprocessorTest, OnlyTheImageOperationLogsItsNoticeAtVerboseLevel) {
    vekai_initialize_logging((directory / "start.log").c_str(), (directory / "plugin.log").c_str(),
                             "AI Plugin: ", false, true, 2);
    const auto stage = stageFor({input("input", TENSOR_TYPE_FLOAT32, {1, 3, 24, 32})});
    ASSERT_TRUE(preprocessor.preprocessDirect(*frame, stage, kWholeFrame));
    const VideoFrame image(*frame, ImageOrder::Planar);
    ASSERT_TRUE(preprocessor.preprocess(image, stage, kWholeFrame));
    const std::string log = loggedText();
    const std::string notice = "Notice: vekai_module_video_preprocessing ##\n";
    const size_t first = log.find(notice);
    ASSERT_NE(first, std::string::npos) << log;
    EXPECT_EQ(log.find(notice, first + 1), std::string::npos) << log;
}

TEST_F(PreprocessorTest, ImpossibleModelSizeThrowsLengthError) {
    const auto stage = stageFor({input("input", TENSOR_TYPE_FLOAT32, {1})}, uint64_t{1} << 40, 2);
    EXPECT_THROW(preprocessor.preprocessDirect(*frame, stage, kWholeFrame), std::length_error);
}

}  // namespace
