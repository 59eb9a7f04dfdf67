// The sample processors do what their documentation says when the plugin's handlers use them:
// the mask preprocessor over the channel, the score scaler over TCP, the object tagger with "Config".
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <thread>

#include "../ipc/ipc_test_support.h"
#include "../postprocessing/postprocessing_test_support.h"
#include "corvane/vekai_postprocessor.h"
#include "corvane/vekai_preprocessor.h"
#include "corvane/vekai_video_frame.h"

namespace vekai {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

const DeviceAgentDetails_t kDevice{"dev-s", "Yard"};

void writeFile(const fs::path& path, const std::string& text) {
    fs::create_directories(path.parent_path());
    std::ofstream(path) << text;
}

std::vector<float> floatsOf(const void* data, size_t bytes) {
    std::vector<float> values(bytes / sizeof(float));
    std::memcpy(values.data(), data, values.size() * sizeof(float));
    return values;
}

// A port nobody listens on at the moment of asking.
uint16_t freePort() {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    close(fd);
    return ntohs(address.sin_port);
}

class SampleProcessors : public ::testing::Test {
protected:
    ipc_test::LogCapture log;
    ipc_test::TempDir root;
};

TEST_F(SampleProcessors, MaskPreprocessorBlacksOutTheConfiguredRectangle) {
    writeFile(root.path() / "preprocessors" / "external_preprocessors.json",
              R"([{"Name": "mask", "Command": ")" SAMPLE_MASK_PREPROCESSOR R"("}])");
    Preprocessor preprocessor;
    preprocessor.initializeExternalPreprocessors(root.path().string());
    ASSERT_EQ(preprocessor.getExternalPreprocessors().size(), 1u);
    pipeline_stage_parameters_t stage;
    stage.externalPreprocessor = &preprocessor.getExternalPreprocessors().at("mask");
    stage.preprocessorSettings = {
        {"MaskX", "0.5"}, {"MaskY", "0"}, {"MaskWidth", "0.5"}, {"MaskHeight", "1"}};

    for (const ImageOrder order : {ImageOrder::Interleaved, ImageOrder::Planar}) {
        SCOPED_TRACE(order);
        // 4 x 2 pixels, every value its own index + 1, so that any misplaced pixel shows.
        std::vector<float> pixels(4 * 2 * 3);
        for (size_t i = 0; i < pixels.size(); ++i)
            pixels[i] = float(i + 1);
        const VideoFrame frame(std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(pixels.data()),
                                                        pixels.size() * sizeof(float)),
                               4, 2, order);
        const auto masked = preprocessor.handleImagePreprocessor(100 + order, frame, stage, kDevice);
        ASSERT_TRUE(masked);
        const std::vector<float> out = floatsOf(masked->data().data(), masked->data().size());
        ASSERT_EQ(out.size(), pixels.size());
        for (size_t row = 0; row < 2; ++row) {
            for (size_t column = 0; column < 4; ++column) {
                for (size_t channel = 0; channel < 3; ++channel) {
                    const size_t at = order == ImageOrder::Planar ? channel * 8 + row * 4 + column
                                                                  : (row * 4 + column) * 3 + channel;
                    EXPECT_EQ(out[at], column >= 2 ? 0.0f : pixels[at])
                        << row << "," << column << "," << channel;
                }
            }
        }
    }
}

TEST_F(SampleProcessors, ScoreScalerOverTcpRescalesOnlyScoreOutputs) {
    const uint16_t port = freePort();
    ipc_test::ChildProgram server(SAMPLE_SCORE_SCALER, {"--tcp", std::to_string(port), "--Factor", "2"});
    writeFile(root.path() / "postprocessors" / "external_postprocessors.json",
              R"([{"Name": "scaler", "Port": )" + std::to_string(port) + R"(, "Schedule": "TENSOR"}])");
    PostProcessor postprocessor(root.path().string());
    postprocessor.initializeExternalPostprocessors();
    ASSERT_EQ(postprocessor.getExternalPostprocessors().size(), 1u);
    pipeline_stage_parameters_t stage;
    stage.externalPostprocessor = &postprocessor.getExternalPostprocessors().at("scaler");

    InferenceOutput_t result;
    result.input = std::make_shared<InferenceInput_t>();
    result.input->timestampUs = 5;
    result.input->stage = &stage;
    result.input->details = std::make_shared<DeviceAgentDetails_t>(kDevice);
    result.tensors = allocate_tensors(1, 2);
    const float scores[2] = {0.25f, 0.5f};
    const float boxes[4] = {0.1f, 0.2f, 0.3f, 0.4f};
    const int32_t scoreShape[2] = {1, 2};
    const int32_t boxShape[2] = {1, 4};
    fill_tensor(result.tensors->tensors[0], "scores-person", TENSOR_TYPE_FLOAT32, scoreShape, scores,
                sizeof scores);
    fill_tensor(result.tensors->tensors[1], "boxes", TENSOR_TYPE_FLOAT32, boxShape, boxes, sizeof boxes);

    // The program may still be starting to listen; the first requests then fail and are retried here.
    TensorsPtr scaled;
    ipc_test::waitUntil(
        [&] {
            scaled = postprocessor.handleTensorPostprocessors(result);
            return scaled != nullptr;
        },
        10s);
    ASSERT_TRUE(scaled);
    ASSERT_EQ(scaled->count, 2);
    EXPECT_EQ(floatsOf(scaled->tensors[0].data, scaled->tensors[0].size), (std::vector<float>{0.5f, 1.0f}));
    EXPECT_EQ(floatsOf(scaled->tensors[1].data, scaled->tensors[1].size),
              (std::vector<float>{0.1f, 0.2f, 0.3f, 0.4f}));
}

TEST_F(SampleProcessors, ObjectTaggerAddsSidesBestShotsAndItsEvent) {
    writeFile(root.path() / "postprocessors" / "external_postprocessors.json",
              R"([{"Name": "tagger", "Command": ")" SAMPLE_OBJECT_TAGGER R"(",
                   "Config": {"BestShotConfidence": "0.9"},
                   "Events": [{"ID": "sample.tagger.sides", "Name": "Sides"}]}])");
    PostProcessor postprocessor(root.path().string());
    postprocessor.initializeExternalPostprocessors();
    ASSERT_EQ(postprocessor.getExternalPostprocessors().size(), 1u);
    StageFixture fixture(kDevice.deviceId);
    fixture.stage.externalPostprocessor = &postprocessor.getExternalPostprocessors().at("tagger");

    // Two cars, tracked over three frames: one sure on the left, one unsure on the right.
    const PostprocessingOutput_t answer =
        runFrames(postprocessor, fixture,
                  {pixelRow(0.1f, 0.1f, 0.2f, 0.2f, 0.95f, 1), pixelRow(0.7f, 0.1f, 0.2f, 0.2f, 0.5f, 1)}, 3);
    ASSERT_EQ(answer.objects.count("car"), 1u);
    ASSERT_EQ(answer.objects.at("car").size(), 2u);
    std::map<std::string, VekAIObjectPtr> bySide;
    for (const VekAIObjectPtr& object : answer.objects.at("car")) {
        ASSERT_EQ(object->attributes.size(), 1u);
        EXPECT_STREQ(object->attributes[0]->name(), "Side");
        bySide[object->attributes[0]->value()] = object;
    }
    ASSERT_EQ(bySide.size(), 2u);
    const VekAIObjectPtr sure = bySide.at("left");
    EXPECT_FLOAT_EQ(sure->confidence, 0.95f);
    EXPECT_NEAR(bySide.at("right")->boundingBox.x, 0.7f, 1e-5f) << "the box stays as tracked";
    ASSERT_EQ(answer.events.size(), 1u);
    EXPECT_STREQ(answer.events[0]->typeId(), "sample.tagger.sides");
    EXPECT_STREQ(answer.events[0]->description(), "1 on the left, 1 on the right");
    ASSERT_EQ(answer.bestShots.size(), 1u);
    EXPECT_EQ(answer.bestShots[0].trackId, sure->trackId);
    ASSERT_TRUE(answer.bestShots[0].boundingBox);
    EXPECT_NEAR(answer.bestShots[0].boundingBox->x, 0.1f, 1e-5f);
    for (const VekAIObject_t& track : postprocessor.tracker().tracksOf(kDevice.deviceId, "car"))
        EXPECT_EQ(track.attributes.size(), 1u) << "the tracks keep the attribute";
}

}  // namespace
}  // namespace vekai
