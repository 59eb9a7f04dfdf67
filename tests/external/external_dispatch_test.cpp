// External processors declared in the configuration files, started as real programs over the
// shared-memory channel and TCP, asked per frame, and shut down; and the request/answer pairing.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <future>
#include <thread>

#include "../ipc/ipc_test_support.h"
#include "../postprocessing/postprocessing_test_support.h"
#include "corvane/vekai_external_dispatch.h"
#include "corvane/vekai_external_process.h"
#include "corvane/vekai_postprocessor.h"
#include "corvane/vekai_preprocessor.h"
#include "corvane/vekai_video_frame.h"
#include "vekai_utilities/external_processor_utilities.h"

namespace vekai {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;
using ipc_test::LogCapture;
using ipc_test::TempDir;

void writeFile(const fs::path& path, const std::string& text) {
    fs::create_directories(path.parent_path());
    std::ofstream(path) << text;
}

std::string entry(const std::string& name, const std::string& extra = "") {
    return R"({"Name": ")" + name + R"(", "Command": ")" EXTERNAL_TEST_PROCESSOR R"(")" + extra + "}";
}

std::shared_ptr<VideoFrame> frameOf(const std::vector<float>& values, uint64_t width) {
    return std::make_shared<VideoFrame>(
        std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(values.data()),
                                 values.size() * sizeof(float)),
        width, values.size() / 3 / width, ImageOrder::Interleaved);
}

std::vector<float> floatsOf(std::span<const uint8_t> bytes) {
    std::vector<float> values(bytes.size() / sizeof(float));
    std::memcpy(values.data(), bytes.data(), values.size() * sizeof(float));
    return values;
}

TensorsPtr scores(std::vector<float> values) {
    TensorsPtr set = allocate_tensors(1, 1);
    const int32_t shape[2] = {1, int32_t(values.size())};
    fill_tensor(set->tensors[0], "scores", TENSOR_TYPE_FLOAT32, shape, values.data(),
                values.size() * sizeof(float));
    return set;
}

const DeviceAgentDetails_t kDevice{"dev-7", "Dock"};

InferenceInput_t requestOn(const pipeline_stage_parameters_t& stage, int64_t timestampUs) {
    InferenceInput_t request;
    request.timestampUs = timestampUs;
    request.stage = &stage;
    request.details = std::make_shared<DeviceAgentDetails_t>(kDevice);
    return request;
}

TEST(PendingResponses, AnswersGoToTheirKeyAndLateOrReplacedRequestsAreHandled) {
    Utils::PendingResponseRegistry registry;
    auto first = registry.registerRequest("a|1");
    auto second = registry.registerRequest("a|2");
    registry.fulfill("a|2", {2});
    registry.fulfill("a|1", {1});
    EXPECT_EQ(first.answer.get(), std::vector<uint8_t>{1});
    EXPECT_EQ(second.answer.get(), std::vector<uint8_t>{2});
    registry.fulfill("a|1", {9});  // nobody waits any more: dropped

    auto replaced = registry.registerRequest("b|1");
    auto replacing = registry.registerRequest("b|1");
    EXPECT_THROW(replaced.answer.get(), std::future_error);
    // The replaced waiter giving up must not withdraw the request that replaced it.
    registry.cancel("b|1", replaced.ticket);
    registry.fulfill("b|1", {3});
    EXPECT_EQ(replacing.answer.get(), std::vector<uint8_t>{3});

    auto cancelled = registry.registerRequest("c|1");
    registry.cancel("c|1", cancelled.ticket);
    registry.fulfill("c|1", {4});
    EXPECT_EQ(cancelled.answer.wait_for(0s), std::future_status::ready);
    EXPECT_THROW(cancelled.answer.get(), std::future_error);
}

class ExternalProcessors : public ::testing::Test {
protected:
    fs::path preFile() const { return root.path() / "preprocessors" / "external_preprocessors.json"; }
    fs::path postFile() const { return root.path() / "postprocessors" / "external_postprocessors.json"; }

    LogCapture log;
    TempDir root;
};

TEST_F(ExternalProcessors, WithoutConfigurationTablesStayEmptyAndHandlersKeepTheirData) {
    Preprocessor preprocessor;
    preprocessor.initializeExternalPreprocessors(root.path().string());
    PostProcessor postprocessor(root.path().string());
    postprocessor.initializeExternalPostprocessors();
    EXPECT_TRUE(preprocessor.getExternalPreprocessors().empty());
    EXPECT_TRUE(postprocessor.getExternalPostprocessors().empty());
    EXPECT_TRUE(
        log.contains("Notice: No external preprocessors configuration found at " + preFile().string()));
    EXPECT_TRUE(
        log.contains("Notice: No external postprocessors configuration found at " + postFile().string()));

    pipeline_stage_parameters_t stage;
    const auto frame = frameOf({0.1f, 0.2f, 0.3f}, 1);
    EXPECT_FALSE(preprocessor.handleImagePreprocessor(1, *frame, stage, kDevice));
    const TensorsPtr set = scores({1});
    EXPECT_FALSE(preprocessor.handleTensorPreprocessors(requestOn(stage, 1), set.get()));
}

TEST_F(ExternalProcessors, ConfigurationEntriesAreCheckedOneByOne) {
    writeFile(preFile(),
              "[1, {\"Command\": \"x\"}, {\"Name\": \"noprogram\"}, "
              "{\"Name\": \"badport\", \"Port\": \"80\"}, " +
                  entry("invert", R"(, "TimeoutMs": 2.5, "UserSettings": [{"name": "level"}])") + ", " +
                  entry("invert", R"(, "Schedule": "TENSOR")") + ", " +
                  entry("double", R"(, "Schedule": "TENSOR", "NoResponse": true, "TimeoutMs": 50)") + "]");
    writeFile(postFile(), "[" + entry("tagger", R"(, "Config": {"model": "a.bin", "level": 3},
                                 "Objects": [{"ID": "box", "Name": "Box"}, 7, {"ID": 1}],
                                 "Events": [{"ID": "e", "Name": "E"}], "ReceiveInputImage": true)") +
                              ", " + entry("double", R"(, "Schedule": "TENSOR")") + "]");
    writeFile(root.path() / "broken" / "preprocessors" / "external_preprocessors.json", "[1,]");
    writeFile(root.path() / "object" / "preprocessors" / "external_preprocessors.json", "{}");

    Preprocessor preprocessor;
    preprocessor.initializeExternalPreprocessors(root.path().string());
    const ExternalPreprocessorTable& pre = preprocessor.getExternalPreprocessors();
    ASSERT_EQ(pre.size(), 2u);
    const ExternalPreprocessor_t& invert = pre.at("invert");
    EXPECT_EQ(invert.schedule, 0);  // the first of two entries of that name stays
    EXPECT_EQ(invert.timeoutMs, 1000);
    EXPECT_EQ(invert.userSettings, R"([{"name":"level"}])");
    EXPECT_TRUE(invert.readerThread.joinable());
    const ExternalPreprocessor_t& tensorPre = pre.at("double");
    EXPECT_EQ(tensorPre.schedule, 1);
    EXPECT_EQ(tensorPre.timeoutMs, 50);
    EXPECT_TRUE(tensorPre.noResponse);
    EXPECT_FALSE(tensorPre.readerThread.joinable());
    for (const char* line :
         {"Warning: Skipping non-object entry in external preprocessors array\n",
          "Warning: Skipping preprocessor with missing required fields (Name)\n",
          "Warning: Skipping preprocessor. Either 'Command' or 'Port' needs to be defined.\n",
          "Loaded and started external preprocessor: invert (command: " EXTERNAL_TEST_PROCESSOR ")\n",
          "Initialized 2 external preprocessors\n"})
        EXPECT_TRUE(log.contains(line)) << line;

    PostProcessor postprocessor(root.path().string());
    postprocessor.initializeExternalPostprocessors();
    const ExternalPostprocessorTable& post = postprocessor.getExternalPostprocessors();
    ASSERT_EQ(post.size(), 2u);
    const ExternalPostprocessor_t& tagger = post.at("tagger");
    EXPECT_EQ(tagger.schedule, 1);
    EXPECT_TRUE(tagger.receiveInputImage);
    ASSERT_EQ(tagger.objects.size(), 2u);
    EXPECT_EQ(tagger.objects[0].name, "Box");
    EXPECT_EQ(tagger.objects[1].id, "");
    EXPECT_EQ(post.at("double").schedule, 0);
    EXPECT_TRUE(log.contains("Warning! Received non-string config argument for postprocessor: tagger\n"));
    EXPECT_TRUE(
        log.contains("Loaded and started external postprocessor: tagger (2 objects, 1 events, "
                     "command: " EXTERNAL_TEST_PROCESSOR ")\n"));

    Preprocessor broken;
    broken.initializeExternalPreprocessors((root.path() / "broken").string());
    EXPECT_TRUE(log.contains("Error: Failed to parse external preprocessors JSON file: "));
    broken.initializeExternalPreprocessors((root.path() / "object").string());
    EXPECT_TRUE(log.contains("Error: External preprocessors JSON root must be an array\n"));
}

TEST_F(ExternalProcessors, ProgramsOverTheChannelChangeFramesTensorsAndObjects) {
    writeFile(preFile(), "[" + entry("invert") + ", " + entry("double", R"(, "Schedule": "TENSOR")") + "]");
    writeFile(postFile(), "[" + entry("tagger") + ", " + entry("double", R"(, "Schedule": "TENSOR")") + "]");
    Preprocessor preprocessor;
    preprocessor.initializeExternalPreprocessors(root.path().string());
    PostProcessor postprocessor(root.path().string());
    postprocessor.initializeExternalPostprocessors();
    ASSERT_EQ(preprocessor.getExternalPreprocessors().size(), 2u);
    ASSERT_EQ(postprocessor.getExternalPostprocessors().size(), 2u);

    pipeline_stage_parameters_t imageStage;
    imageStage.externalPreprocessor = &preprocessor.getExternalPreprocessors().at("invert");
    // Several workers at once: each frame must come back as its own answer.
    std::vector<std::thread> workers;
    std::atomic<int> matched{0};
    for (int worker = 0; worker < 4; ++worker) {
        workers.emplace_back([&, worker] {
            for (int frame = 0; frame < 5; ++frame) {
                const float value = 0.01f * float(worker * 10 + frame);
                const auto input = frameOf(std::vector<float>(6, value), 2);
                const auto output =
                    preprocessor.handleImagePreprocessor(worker * 100 + frame, *input, imageStage, kDevice);
                if (output && output->width() == 2 && output->height() == 1 &&
                    floatsOf(output->data()) == std::vector<float>(6, 1.0f - value))
                    ++matched;
            }
        });
    }
    for (std::thread& worker : workers)
        worker.join();
    EXPECT_EQ(matched.load(), 20);

    pipeline_stage_parameters_t tensorStage;
    tensorStage.externalPreprocessor = &preprocessor.getExternalPreprocessors().at("double");
    tensorStage.externalPostprocessor = &postprocessor.getExternalPostprocessors().at("double");
    const TensorsPtr set = scores({0.5f, -1.0f, 3.0f});
    const TensorsPtr doubled = preprocessor.handleTensorPreprocessors(requestOn(tensorStage, 5), set.get());
    ASSERT_TRUE(doubled);
    ASSERT_EQ(doubled->count, 1);
    EXPECT_EQ(floatsOf({static_cast<const uint8_t*>(doubled->tensors[0].data), doubled->tensors[0].size}),
              (std::vector<float>{1.0f, -2.0f, 6.0f}));
    InferenceOutput_t result;
    result.input = std::make_shared<InferenceInput_t>(requestOn(tensorStage, 6));
    result.tensors = scores({2.0f});
    const TensorsPtr postDoubled = postprocessor.handleTensorPostprocessors(result);
    ASSERT_TRUE(postDoubled);
    EXPECT_EQ(
        floatsOf({static_cast<const uint8_t*>(postDoubled->tensors[0].data), postDoubled->tensors[0].size}),
        std::vector<float>{4.0f});

    // The objects of a real pass, tracked by the postprocessor, go to the program; what it sets on
    // them lasts in their tracks.
    StageFixture fixture(kDevice.deviceId);
    fixture.stage.externalPostprocessor = &postprocessor.getExternalPostprocessors().at("tagger");
    const PostprocessingOutput_t output =
        runFrames(postprocessor, fixture, {pixelRow(0.1f, 0.1f, 0.2f, 0.2f, 0.9f, 0)}, 3);
    ASSERT_EQ(output.objects.count("person"), 1u);
    const VekAIObjectPtr object = output.objects.at("person").at(0);
    ASSERT_EQ(object->attributes.size(), 1u);
    EXPECT_STREQ(object->attributes[0]->name(), "tag");
    EXPECT_STREQ(object->attributes[0]->value(), "seen");
    const std::vector<VekAIObject_t> tracks = postprocessor.tracker().tracksOf(kDevice.deviceId, "person");
    ASSERT_EQ(tracks.size(), 1u);
    ASSERT_EQ(tracks[0].attributes.size(), 1u);
    EXPECT_STREQ(tracks[0].attributes[0]->value(), "seen");
    ASSERT_EQ(output.events.size(), 1u);
    EXPECT_STREQ(output.events[0]->typeId(), "test.tagged");
    ASSERT_EQ(output.bestShots.size(), 1u);
    EXPECT_EQ(output.bestShots[0].trackId, object->trackId);

    // Shutdown: every program is asked to exit and goes.
    for (const auto& [name, entry] : preprocessor.getExternalPreprocessors())
        entry.process->requestGracefulExit();
    for (const auto& [name, entry] : postprocessor.getExternalPostprocessors())
        entry.process->requestGracefulExit();
    EXPECT_TRUE(ipc_test::waitUntil(
        [&] {
            bool anyRunning = false;
            for (const auto& [name, entry] : preprocessor.getExternalPreprocessors())
                anyRunning = anyRunning || entry.process->isRunning();
            for (const auto& [name, entry] : postprocessor.getExternalPostprocessors())
                anyRunning = anyRunning || entry.process->isRunning();
            return !anyRunning;
        },
        10s));
}

TEST_F(ExternalProcessors, LateWrongAndDeadProgramsCostOnlyTheirOwnAnswers) {
    writeFile(preFile(), "[" + entry("late", R"(, "TimeoutMs": 150)") + ", " +
                             entry("wrongkey", R"(, "TimeoutMs": 150)") + ", " +
                             entry("dies", R"(, "TimeoutMs": 150)") + ", " +
                             entry("invert", R"(, "NoResponse": true, "TimeoutMs": 100)") + "]");
    Preprocessor preprocessor;
    preprocessor.initializeExternalPreprocessors(root.path().string());
    const ExternalPreprocessorTable& table = preprocessor.getExternalPreprocessors();
    ASSERT_EQ(table.size(), 4u);
    const auto frame = frameOf({0.25f, 0.5f, 0.75f}, 1);
    pipeline_stage_parameters_t stage;

    stage.externalPreprocessor = &table.at("late");
    EXPECT_FALSE(preprocessor.handleImagePreprocessor(1, *frame, stage, kDevice));
    EXPECT_TRUE(log.contains("Warning! Timed out waiting for response from preprocessor: late\n"))
        << log.text();

    stage.externalPreprocessor = &table.at("wrongkey");
    EXPECT_FALSE(preprocessor.handleImagePreprocessor(2, *frame, stage, kDevice));
    EXPECT_TRUE(log.contains("Warning! Timed out waiting for response from preprocessor: wrongkey\n"));

    // Declared without answers, an image preprocessor has no reader and every frame times out.
    stage.externalPreprocessor = &table.at("invert");
    EXPECT_FALSE(preprocessor.handleImagePreprocessor(3, *frame, stage, kDevice));
    EXPECT_TRUE(log.contains("Warning! Timed out waiting for response from preprocessor: invert\n"));

    stage.externalPreprocessor = &table.at("dies");
    EXPECT_FALSE(preprocessor.handleImagePreprocessor(4, *frame, stage, kDevice));
    ASSERT_TRUE(ipc_test::waitUntil([&] { return table.at("dies").process->hasChildProcessExited(); }, 10s));
    // Skipped from now on: no send, no wait, no line about it.
    const auto mentions = [&] {
        const std::string text = log.text();
        size_t count = 0;
        for (size_t at = text.find("preprocessor: dies"); at != std::string::npos;
             at = text.find("preprocessor: dies", at + 1))
            ++count;
        return count;
    };
    const size_t before = mentions();
    EXPECT_FALSE(preprocessor.handleImagePreprocessor(5, *frame, stage, kDevice));
    EXPECT_EQ(mentions(), before);
}

TEST_F(ExternalProcessors, ProgramListeningOnAPortIsUsedOverTcp) {
    const fs::path portFile = root.path() / "port";
    ipc_test::ChildProgram server(EXTERNAL_TEST_PROCESSOR,
                                  {"--tcp", portFile.string(), "--ProcessorName", "invert"});
    ASSERT_TRUE(ipc_test::waitUntil([&] { return fs::exists(portFile); }, 5s));
    const std::string port = ipc_test::readFile(portFile);
    writeFile(preFile(), R"([{"Name": "invert", "Command": "/nonexistent", "Port": )" + port + "}]");
    Preprocessor preprocessor;
    preprocessor.initializeExternalPreprocessors(root.path().string());
    ASSERT_EQ(preprocessor.getExternalPreprocessors().size(), 1u);
    const ExternalPreprocessor_t& entry = preprocessor.getExternalPreprocessors().at("invert");
    EXPECT_EQ(entry.command, "");
    EXPECT_TRUE(log.contains("Loaded and started external preprocessor: invert (command: )\n"));

    pipeline_stage_parameters_t stage;
    stage.externalPreprocessor = &entry;
    const auto output =
        preprocessor.handleImagePreprocessor(9, *frameOf({0.25f, 0.5f, 1.0f}, 1), stage, kDevice);
    ASSERT_TRUE(output);
    EXPECT_EQ(floatsOf(output->data()), (std::vector<float>{0.75f, 0.5f, 0.0f}));
}

}  // namespace
}  // namespace vekai
