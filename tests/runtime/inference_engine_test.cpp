#include <openssl/evp.h>

#include <atomic>
#include <deque>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "corvane/vekai_inference_engine.h"
#include "messaging_manager.h"
#include "runtime_test_support.h"

namespace fs = std::filesystem;
using runtimetest::eventually;
using runtimetest::floatSet;
using runtimetest::floatValues;
using runtimetest::LogCapture;
using runtimetest::ScratchDir;
using runtimetest::writeText;

namespace {

constexpr const char* kEcho = R"({"outputs": [{"name": "out", "echo": "in"}]})";
constexpr const char* kSlowEcho = R"({"delay_ms": 60000, "outputs": [{"name": "out", "echo": "in"}]})";

// The downloaded form of a model: 12-byte IV, AES-256-GCM ciphertext, 16-byte tag.
std::string encrypt(const std::string& plain, const std::string& key) {
    const std::string iv = "0123456789ab";
    std::string out = iv + std::string(plain.size(), '\0') + std::string(16, '\0');
    EVP_CIPHER_CTX* context = EVP_CIPHER_CTX_new();
    int length = 0;
    EVP_EncryptInit_ex(context, EVP_aes_256_gcm(), nullptr, nullptr, nullptr);
    EVP_CIPHER_CTX_ctrl(context, EVP_CTRL_GCM_SET_IVLEN, 12, nullptr);
    EVP_EncryptInit_ex(context, nullptr, nullptr, reinterpret_cast<const unsigned char*>(key.data()),
                       reinterpret_cast<const unsigned char*>(iv.data()));
    EVP_EncryptUpdate(context, reinterpret_cast<unsigned char*>(out.data() + 12), &length,
                      reinterpret_cast<const unsigned char*>(plain.data()), static_cast<int>(plain.size()));
    EVP_EncryptFinal_ex(context, reinterpret_cast<unsigned char*>(out.data() + 12 + length), &length);
    EVP_CIPHER_CTX_ctrl(context, EVP_CTRL_GCM_GET_TAG, 16, out.data() + out.size() - 16);
    EVP_CIPHER_CTX_free(context);
    return out;
}

// An engine over the reference runtime, with models whose behaviour each test scripts.
class EngineTest : public ::testing::Test {
protected:
    void SetUp() override { runtimetest::installRuntime(root.path, VEK_REFERENCE_RUNTIME); }

    std::shared_ptr<ModelDetails_t> addModel(const std::string& key, const std::string& script,
                                             int32_t status = 2, int64_t lastModified = 1) {
        auto model = std::make_shared<ModelDetails_t>();
        model->id = key;
        model->name = key + " model";
        model->status = status;
        model->lastModified = lastModified;
        model->sourcePath = (root.path / "models" / (key + ".json")).string();
        model->keyPath = (root.path / "keys" / key).string();
        model->runtimePath = (root.path / "shm" / key).string();
        fs::create_directories(root.path / "shm");
        writeText(model->sourcePath, script);
        models[key] = model;
        return model;
    }

    void writeArgs(const std::string& text) {
        writeText(root.path / "inference_engine" / "runtime_args.json", text);
    }

    std::unique_ptr<InferenceEngine> start() {
        return std::make_unique<InferenceEngine>(root.path.string(), models, queue, messages);
    }

    std::shared_ptr<InferenceInput_t> request(const std::shared_ptr<ModelDetails_t>& model,
                                              const std::string& deviceId = "device-1") {
        pipeline_stage_parameters_t& stage = stages.emplace_back();
        stage.stageId = "stage-" + std::to_string(stages.size());
        stage.model = model;
        auto input = std::make_shared<InferenceInput_t>();
        input->stage = &stage;
        input->details =
            std::make_shared<DeviceAgentDetails_t>(DeviceAgentDetails_t{deviceId, deviceId + " name"});
        return input;
    }

    // Sends one request whose single input "in" holds `value`; returns whether the engine took it.
    bool send(InferenceEngine& engine, const std::shared_ptr<ModelDetails_t>& model, float value,
              const std::string& deviceId = "device-1") {
        TensorsPtr tensors = floatSet(-1, "in", {1}, {value});
        const bool taken = engine.sendInput(request(model, deviceId), tensors);
        EXPECT_EQ(taken, tensors == nullptr) << "the caller must keep the set exactly when it was refused";
        return taken;
    }

    std::optional<InferenceOutput_t> next(int64_t timeoutMs = 5000) { return queue.pop_wait(timeoutMs); }

    std::string messageText(const std::string& key) {
        const auto all = messages.getMessages();
        const auto found = all.find(key);
        return found == all.end() ? std::string() : found->second.text;
    }

    ScratchDir root;
    LogCapture log;
    MessagingManager messages;
    InferenceEngine::OutputQueue queue{64};
    InferenceEngine::ModelMap models;
    std::deque<pipeline_stage_parameters_t> stages;
};

TEST_F(EngineTest, RequestTravelsThroughTheRuntimeAndReturnsWithItsOutput) {
    auto model = addModel("m1", kEcho);
    auto engine = start();
    ASSERT_EQ(engine->getState(), EngineState::RUNNING);
    EXPECT_TRUE(log.contains("Runtime loaded successfully: Reference 1.0.0\n"));
    EXPECT_TRUE(log.contains("Runtime initialized sucessfully.\n"));
    EXPECT_TRUE(log.contains("Adding model to runtime startup: " + model->sourcePath + "\n"));

    auto input = request(model);
    TensorsPtr tensors = floatSet(-1, "in", {1, 2}, {1.5f, -2.5f});
    ASSERT_TRUE(engine->sendInput(input, tensors));
    EXPECT_EQ(tensors, nullptr);
    auto output = next();
    ASSERT_TRUE(output.has_value());
    EXPECT_EQ(output->input, input);
    ASSERT_NE(output->tensors, nullptr);
    EXPECT_EQ(output->tensors->id, 0);
    ASSERT_EQ(output->tensors->count, 1);
    EXPECT_STREQ(output->tensors->tensors[0].name, "out");
    EXPECT_EQ(floatValues(output->tensors->tensors[0]), (std::vector<float>{1.5f, -2.5f}));
    EXPECT_TRUE(eventually([&] { return engine->inFlightCount() == 0; }));
    EXPECT_TRUE(log.contains("Enqueued input for model m1 model with ID 0\n"));
}

TEST_F(EngineTest, ModelsAreIndexedInKeyOrderAndOnlyReadyOnesAreLoaded) {
    auto second =
        addModel("b", R"({"outputs": [{"name": "from_b", "type": 1, "shape": [1], "values": [2]}]})");
    auto first =
        addModel("a", R"({"outputs": [{"name": "from_a", "type": 1, "shape": [1], "values": [1]}]})");
    auto downloading = addModel("c", kEcho, 1);
    auto engine = start();
    ASSERT_EQ(engine->getState(), EngineState::RUNNING);
    ASSERT_TRUE(send(*engine, second, 0));
    auto output = next();
    ASSERT_TRUE(output.has_value());
    EXPECT_STREQ(output->tensors->tensors[0].name, "from_b");
    ASSERT_TRUE(send(*engine, first, 0));
    output = next();
    ASSERT_TRUE(output.has_value());
    EXPECT_STREQ(output->tensors->tensors[0].name, "from_a");

    EXPECT_FALSE(send(*engine, downloading, 0));
    EXPECT_TRUE(log.contains("Received input for model not in runtime: c\n"));
}

struct ArgsCase {
    const char* name;
    bool writeFile;
    const char* content;
    const char* logLine;
    const char* argsSeen;
};

void PrintTo(const ArgsCase& c, std::ostream* out) {
    *out << c.name;
}

class RuntimeArgsTest : public EngineTest, public ::testing::WithParamInterface<ArgsCase> {};

TEST_P(RuntimeArgsTest, RuntimeStartsWithTheStringMembersOnly) {
    const ArgsCase& c = GetParam();
    if (c.writeFile) {
        writeArgs(c.content);
    }
    auto model = addModel("m", R"({"outputs": [{"name": "args", "args": true}]})");
    auto engine = start();
    ASSERT_EQ(engine->getState(), EngineState::RUNNING);
    EXPECT_TRUE(log.contains(c.logLine)) << log.text();
    ASSERT_TRUE(send(*engine, model, 0));
    auto output = next();
    ASSERT_TRUE(output.has_value());
    const Tensor& args = output->tensors->tensors[0];
    EXPECT_EQ(std::string(static_cast<const char*>(args.data), args.size), c.argsSeen);
}

INSTANTIATE_TEST_SUITE_P(
    Files, RuntimeArgsTest,
    ::testing::Values(ArgsCase{"Missing", false, "", "Runtime args file not found at ", ""},
                      ArgsCase{"Empty", true, "", "Warning! Runtime args file is empty: ", ""},
                      ArgsCase{"NotJson", true, "{workers: 2",
                               "Warning! Failed to parse runtime args JSON: ", ""},
                      ArgsCase{"NotAnObject", true, R"(["workers", "2"])",
                               "Warning! Runtime args JSON is not an object: ", ""},
                      ArgsCase{"NumberSkipped", true, R"({"b": "x", "n": 5, "a": "1"})",
                               "Warning! Runtime arg 'n' has a non-string value, skipping.\n", "b=x\na=1\n"},
                      ArgsCase{"AllStrings", true, R"({"workers": "2", "mode": "fast"})",
                               "Loaded 2 runtime args from ", "workers=2\nmode=fast\n"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(EngineTest, RuntimeInitFailureLeavesTheEngineFailedWithAUserMessage) {
    writeArgs(R"({"fail_init": "no device"})");
    auto model = addModel("m", kEcho);
    auto engine = start();
    EXPECT_EQ(engine->getState(), EngineState::FAILED);
    EXPECT_TRUE(log.contains("Error! Runtime initialization failed: no device\n"));
    EXPECT_EQ(messageText("RUNTIME_INIT_FAILED"), "Failed to initialize the AI runtime: no device");
    EXPECT_EQ(messages.getMessages().at("RUNTIME_INIT_FAILED").type, MESSAGE_TYPE::WARNING);
    EXPECT_FALSE(engine->canReceiveInput());
    EXPECT_FALSE(send(*engine, model, 1));
    EXPECT_TRUE(log.contains("Warning! Inference Engine is not running. Rejecting input\n"));
    EXPECT_TRUE(
        eventually([&] { return log.contains("Inference Engine state is 5, breaking output loop.\n"); }));
}

TEST_F(EngineTest, MissingRuntimeLibraryFailsWithoutCrashing) {
    fs::remove(root.path / "inference_engine" / "libRuntimeLibrary.so");
    addModel("m", kEcho);
    auto engine = start();
    EXPECT_EQ(engine->getState(), EngineState::FAILED);
    EXPECT_EQ(messageText("RUNTIME_INIT_FAILED"),
              "Failed to initialize the AI runtime: Runtime not initialized.");
}

TEST_F(EngineTest, ModelLoadFailureIsReportedAndAFixedMapRecovers) {
    addModel("m", R"({"fail_load": "corrupt weights"})");
    auto engine = start();
    EXPECT_EQ(engine->getState(), EngineState::FAILED);
    EXPECT_TRUE(log.contains("Warning! Runtime could not load models: corrupt weights\n"));
    EXPECT_EQ(messageText("RUNTIME_INIT_FAILED"),
              "The AI runtime failed to load the assigned models: corrupt weights");

    auto fixed = addModel("m", kEcho, 2, 2);
    engine->processParameters(models);
    ASSERT_EQ(engine->getState(), EngineState::RUNNING);
    EXPECT_EQ(messageText("RUNTIME_INIT_FAILED"), "");
    EXPECT_TRUE(send(*engine, fixed, 3));
    EXPECT_TRUE(next().has_value());
}

TEST_F(EngineTest, EncryptedModelThatCannotBeDecryptedIsMarkedFailedAndTheOthersRun) {
    auto encrypted = addModel("enc", kEcho);
    writeText(encrypted->keyPath, std::string(33, 'k'));
    auto plain = addModel("plain", kEcho);
    auto engine = start();
    ASSERT_EQ(engine->getState(), EngineState::RUNNING);
    EXPECT_EQ(encrypted->status, 4);
    EXPECT_EQ(encrypted->errors.get(),
              std::vector<std::string>{"Could not decrypt model file: " + encrypted->sourcePath});
    EXPECT_TRUE(log.contains("Error! Could not decrypt model file: " + encrypted->sourcePath + "\n"));
    EXPECT_FALSE(fs::exists(encrypted->runtimePath));
    EXPECT_FALSE(send(*engine, encrypted, 1));
    EXPECT_TRUE(send(*engine, plain, 1));
    EXPECT_TRUE(next().has_value());
}

TEST_F(EngineTest, EncryptedModelRunsFromItsDecryptedCopyWhichStoppingRemoves) {
    auto model = addModel("enc", "");
    const std::string key(32, 'K');
    writeText(model->sourcePath, encrypt(kEcho, key));
    writeText(model->keyPath, key + std::string(1, '\0'));
    auto engine = start();
    ASSERT_EQ(engine->getState(), EngineState::RUNNING) << log.text();
    EXPECT_EQ(runtimetest::readText(model->runtimePath), kEcho);
    EXPECT_TRUE(log.contains("Adding model to runtime startup: " + model->runtimePath + "\n"));
    ASSERT_TRUE(send(*engine, model, 5));
    auto output = next();
    ASSERT_TRUE(output.has_value());
    EXPECT_EQ(floatValues(output->tensors->tensors[0]), std::vector<float>{5});
    engine->stopRuntime();
    EXPECT_FALSE(fs::exists(model->runtimePath));
    EXPECT_TRUE(fs::exists(model->sourcePath));
    EXPECT_TRUE(fs::exists(model->keyPath));
}

// Without a key file the downloaded file itself is what the runtime loads, and stopping never deletes it.
TEST_F(EngineTest, UnencryptedModelIsLoadedFromItsSourceAndKeptAfterStop) {
    auto model = addModel("m", kEcho);
    auto engine = start();
    ASSERT_EQ(engine->getState(), EngineState::RUNNING);
    EXPECT_TRUE(log.contains("Adding model to runtime startup: " + model->sourcePath + "\n"));
    engine.reset();
    EXPECT_TRUE(fs::exists(model->sourcePath));
    EXPECT_EQ(model->status, 2);
}

TEST_F(EngineTest, HundredOutstandingRequestsFillEverySlotAndTheNextIsRejected) {
    auto model = addModel("m", kSlowEcho);
    auto engine = start();
    ASSERT_EQ(engine->getState(), EngineState::RUNNING);
    for (int i = 0; i < InferenceEngine::kSlotCount; ++i) {
        ASSERT_TRUE(send(*engine, model, static_cast<float>(i))) << "request " << i;
    }
    EXPECT_EQ(engine->inFlightCount(), 100);
    EXPECT_FALSE(engine->canReceiveInput());
    EXPECT_FALSE(send(*engine, model, 100));
    EXPECT_EQ(log.count("Error! No available input slot.\n"), 1u);
}

TEST_F(EngineTest, AdmissionFollowsTheConcurrencyLimit) {
    auto model = addModel("m", kSlowEcho);
    auto engine = start();
    for (int i = 0; i < 7; ++i) {
        ASSERT_TRUE(send(*engine, model, 0));
    }
    EXPECT_TRUE(engine->canReceiveInput());
    ASSERT_TRUE(send(*engine, model, 0));
    EXPECT_FALSE(engine->canReceiveInput());
    EXPECT_TRUE(log.contains("Inference engine input queue size: 8\n"));
}

TEST_F(EngineTest, SecondOutputForAFreedSlotIsSkipped) {
    auto model = addModel("m", R"({"repeat": 2, "outputs": [{"name": "out", "echo": "in"}]})");
    auto engine = start();
    ASSERT_TRUE(send(*engine, model, 1));
    EXPECT_TRUE(next().has_value());
    EXPECT_FALSE(next(300).has_value());
    EXPECT_EQ(engine->inFlightCount(), 0);
}

TEST_F(EngineTest, StoppingForgetsOutstandingRequestsAndFreesTheirSlots) {
    auto held = addModel("held", kSlowEcho);
    auto good = addModel("good", kEcho);
    auto engine = start();
    ASSERT_TRUE(send(*engine, held, 1));
    ASSERT_TRUE(send(*engine, held, 2));
    engine->stopRuntime();
    EXPECT_EQ(engine->getState(), EngineState::STOPPING);
    EXPECT_EQ(engine->inFlightCount(), 0);
    EXPECT_FALSE(send(*engine, good, 3));

    good->lastModified = 2;
    engine->processParameters(models);
    ASSERT_EQ(engine->getState(), EngineState::RUNNING);
    ASSERT_TRUE(send(*engine, good, 4));
    auto output = next();
    ASSERT_TRUE(output.has_value());
    EXPECT_EQ(output->tensors->id, 0) << "the slots of the forgotten requests are free again";
    EXPECT_EQ(floatValues(output->tensors->tensors[0]), std::vector<float>{4});
}

class OutOfRangeIdTest : public EngineTest, public ::testing::WithParamInterface<int> {};

TEST_P(OutOfRangeIdTest, OutputWithAnIdOutsideTheSlotsIsSkipped) {
    const int offset = GetParam();
    auto model = addModel("m", R"({"id_offset": )" + std::to_string(offset) +
                                   R"(, "outputs": [{"name": "out", "echo": "in"}]})");
    auto good = addModel("good", kEcho);
    auto engine = start();
    ASSERT_TRUE(send(*engine, model, 1));
    const std::string line = "Error! Output tensor ID " + std::to_string(offset) + " out of range\n";
    EXPECT_TRUE(eventually([&] { return log.contains(line); })) << log.text();
    EXPECT_EQ(queue.size(), 0u);
    // The engine goes on serving requests after a stray output.
    ASSERT_TRUE(send(*engine, good, 2));
    EXPECT_TRUE(next().has_value());
}

INSTANTIATE_TEST_SUITE_P(Ids, OutOfRangeIdTest, ::testing::Values(100, 250, -1));

TEST_F(EngineTest, RefusedRequestFreesItsSlotForTheNextRequest) {
    auto held = addModel("held", kSlowEcho);
    auto flaky = addModel("flaky", R"({"fail_enqueue_from": 0, "outputs": [{"name": "out", "echo": "in"}]})");
    auto good = addModel("good", kEcho);
    auto engine = start();
    ASSERT_TRUE(send(*engine, held, 0));  // slot 0 stays taken
    EXPECT_FALSE(send(*engine, flaky, 1));
    EXPECT_TRUE(log.contains("Warning: Failed to send input to runtime: enqueue refused by script\n"));
    EXPECT_EQ(engine->inFlightCount(), 1);
    ASSERT_TRUE(send(*engine, good, 2));
    auto output = next();
    ASSERT_TRUE(output.has_value());
    EXPECT_EQ(output->tensors->id, 1);
}

// Without its output loop no result would ever come back: the engine fails, refuses inputs instead
// of filling its slots, and tells the user.
TEST_F(EngineTest, RuntimeErrorWhileRetrievingEndsTheOutputLoopAndFailsTheEngine) {
    writeArgs(R"({"retrieve_error_after": "1"})");
    auto model = addModel("m", kEcho);
    auto engine = start();
    ASSERT_TRUE(send(*engine, model, 1));
    EXPECT_TRUE(next().has_value());
    EXPECT_TRUE(eventually(
        [&] { return log.contains("Warning! Runtime gave error: retrieve failure requested by script\n"); }));
    EXPECT_TRUE(eventually([&] { return engine->getState() == EngineState::FAILED; }));
    EXPECT_EQ(messageText("RUNTIME_INIT_FAILED"),
              "The AI runtime stopped delivering results: retrieve failure requested by script");
    EXPECT_FALSE(send(*engine, model, 2));
    EXPECT_FALSE(next(300).has_value());
}

TEST_F(EngineTest, FullOutputQueueDropsTheResultAndStillCountsItReturned) {
    InferenceEngine::OutputQueue tiny(1);
    auto model = addModel("m", kEcho);
    InferenceEngine engine(root.path.string(), models, tiny, messages);
    ASSERT_TRUE(send(engine, model, 1));
    ASSERT_TRUE(send(engine, model, 2));
    EXPECT_TRUE(eventually([&] { return log.contains("Warning! Output processing queue is full!\n"); }));
    EXPECT_TRUE(eventually([&] { return engine.inFlightCount() == 0; }));
    EXPECT_EQ(tiny.size(), 1u);
}

TEST_F(EngineTest, RatesComeWithTheFirstResultOfADeviceAndNotAgainWithinASecond) {
    auto model = addModel("m", kEcho);
    auto engine = start();
    engine->logAttemptedInput("cam");
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    engine->logAttemptedInput("cam");
    ASSERT_TRUE(send(*engine, model, 1, "cam"));
    auto first = next();
    ASSERT_TRUE(first.has_value());
    EXPECT_TRUE(first->hasThroughput);
    EXPECT_GT(first->deviceInputFps, 0);
    EXPECT_GT(first->engineInputFps, 0);
    EXPECT_EQ(first->deviceOutputFps, 0) << "one output is no interval yet";

    ASSERT_TRUE(send(*engine, model, 2, "cam"));
    auto second = next();
    ASSERT_TRUE(second.has_value());
    EXPECT_FALSE(second->hasThroughput);
    EXPECT_EQ(second->deviceInputFps, 0);
    EXPECT_EQ(second->engineInputFps, 0);
    EXPECT_EQ(second->deviceOutputFps, 0);
    EXPECT_EQ(second->engineOutputFps, 0);

    ASSERT_TRUE(send(*engine, model, 3, "other"));
    auto other = next();
    ASSERT_TRUE(other.has_value());
    EXPECT_TRUE(other->hasThroughput) << "rates are per device";
    EXPECT_GT(other->engineOutputFps, 0);
}

TEST_F(EngineTest, UnchangedModelMapDoesNotRestartTheRuntime) {
    addModel("m", kEcho);
    auto engine = start();
    engine->processParameters(models);
    auto copy = std::make_shared<ModelDetails_t>(*models["m"]);
    InferenceEngine::ModelMap same{{"m", copy}};
    engine->processParameters(same);
    EXPECT_EQ(log.count("Runtime loaded successfully"), 1u);
    EXPECT_EQ(log.count("Stopping runtime\n"), 0u);
}

TEST_F(EngineTest, ChangedModelMapRestartsTheRuntime) {
    addModel("m", kEcho);
    auto engine = start();
    auto changed = addModel("m", kEcho, 2, 99);
    engine->processParameters(models);
    EXPECT_EQ(log.count("Runtime loaded successfully"), 2u);
    auto added = addModel("n", kEcho);
    engine->processParameters(models);
    EXPECT_EQ(log.count("Runtime loaded successfully"), 3u);
    EXPECT_EQ(engine->getState(), EngineState::RUNNING);
    EXPECT_TRUE(send(*engine, added, 1));
    EXPECT_TRUE(send(*engine, changed, 1));
}

// A model that is still downloading must not restart the engine on every pass, and must be loaded
// as soon as it is ready.
TEST_F(EngineTest, ModelThatBecomesReadyRestartsOnceAndIsLoaded) {
    addModel("ready", kEcho);
    auto pending = addModel("pending", kEcho, 1);
    auto engine = start();
    engine->processParameters(models);
    engine->processParameters(models);
    EXPECT_EQ(log.count("Runtime loaded successfully"), 1u);
    EXPECT_FALSE(send(*engine, pending, 1));

    pending->status = 2;
    engine->processParameters(models);
    EXPECT_EQ(log.count("Runtime loaded successfully"), 2u);
    EXPECT_TRUE(send(*engine, pending, 1));
    EXPECT_TRUE(next().has_value());
}

TEST_F(EngineTest, ManyThreadsSendWhileTheOutputThreadReturnsEveryResult) {
    constexpr int kThreads = 8;
    constexpr int kPerThread = 50;
    auto model = addModel("m", kEcho);
    InferenceEngine::OutputQueue roomy(kThreads * kPerThread);
    InferenceEngine engine(root.path.string(), models, roomy, messages);
    std::vector<std::vector<std::shared_ptr<InferenceInput_t>>> inputs(kThreads);
    for (int t = 0; t < kThreads; ++t) {
        for (int i = 0; i < kPerThread; ++i) {
            inputs[t].push_back(request(model, "cam" + std::to_string(t)));
            inputs[t].back()->timestampUs = t * 1000 + i;
        }
    }
    std::atomic<int> accepted{0};
    std::atomic<int> delivered{0};
    std::atomic<bool> sending{true};
    std::thread consumer([&] {
        while (sending.load() || delivered.load() < accepted.load()) {
            if (auto output = roomy.pop_wait(50)) {
                EXPECT_EQ(floatValues(output->tensors->tensors[0]).at(0),
                          static_cast<float>(output->input->timestampUs));
                delivered.fetch_add(1);
            }
        }
    });
    std::vector<std::thread> producers;
    for (int t = 0; t < kThreads; ++t) {
        producers.emplace_back([&, t] {
            for (const auto& input : inputs[t]) {
                TensorsPtr tensors = floatSet(-1, "in", {1}, {static_cast<float>(input->timestampUs)});
                engine.logAttemptedInput(input->details->deviceId);
                if (engine.sendInput(input, tensors)) {
                    accepted.fetch_add(1);
                }
            }
        });
    }
    for (std::thread& producer : producers) {
        producer.join();
    }
    sending.store(false);
    consumer.join();
    EXPECT_GT(accepted.load(), 0);
    EXPECT_EQ(delivered.load(), accepted.load());
    // The count drops just after a result is queued.
    EXPECT_TRUE(eventually([&] { return engine.inFlightCount() == 0; }));
}

TEST(InferenceEngineSetup, UncreatableWorkingDirectoryFailsAtOnce) {
    LogCapture log;
    ScratchDir dir;
    writeText(dir.path / "file", "x");
    MessagingManager messages;
    InferenceEngine::OutputQueue queue(64);
    InferenceEngine engine((dir.path / "file").string(), {}, queue, messages);
    EXPECT_EQ(engine.getState(), EngineState::FAILED);
    EXPECT_TRUE(log.contains("Error! Could not create working directory "));
    EXPECT_FALSE(log.contains("Trying to load runtime args"));
}

struct RateCase {
    const char* name;
    size_t window;
    std::vector<int64_t> timestampsNs;
    double fps;
};

void PrintTo(const RateCase& c, std::ostream* out) {
    *out << c.name;
}

class ThroughputTest : public ::testing::TestWithParam<RateCase> {};

TEST_P(ThroughputTest, RateIsTheInverseOfTheMeanIntervalOverTheWindow) {
    const RateCase& c = GetParam();
    ThroughputState_t state(c.window);
    for (int64_t timestamp : c.timestampsNs) {
        InferenceEngine::updateState(state, timestamp);
    }
    EXPECT_NEAR(InferenceEngine::getFPS(state), c.fps, 1e-6);
}

INSTANTIATE_TEST_SUITE_P(
    Windows, ThroughputTest,
    ::testing::Values(
        RateCase{"NoSample", 4, {}, 0.0}, RateCase{"OneTimestamp", 4, {5'000'000}, 0.0},
        RateCase{"TenMillisecondSteps", 4, {10'000'000, 20'000'000, 30'000'000}, 100.0},
        RateCase{"MixedBeforeWrap", 4, {1'000'000, 11'000'000, 41'000'000}, 50.0},
        // Window 2: the 10 ms interval has been pushed out by two 20 ms ones.
        RateCase{"OldSamplesLeaveTheWindow", 2, {1'000'000, 11'000'000, 31'000'000, 51'000'000}, 50.0},
        RateCase{"WindowOfOne", 1, {1'000'000, 2'000'000, 6'000'000}, 250.0},
        RateCase{"NoTimePassed", 3, {7'000'000, 7'000'000}, 0.0}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Throughput, FullFlagIsSetWhenTheWindowWraps) {
    ThroughputState_t state(2);
    for (int64_t t : {1, 2, 3}) {
        InferenceEngine::updateState(state, t * 1'000'000);
        EXPECT_EQ(state.full, t == 3);
    }
    EXPECT_EQ(state.index, 0u);
}

}  // namespace
