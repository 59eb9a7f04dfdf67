// Chained pipelines, several root nodes and overload through the inference manager and the reference
// runtime. Models answer with what they were shown, so each result proves which input it was built from.
#include <gtest/gtest.h>

#include <vektest/log_capture.h>
#include <vektest/temp_dir.h>
#include <vektest/wait.h>

#include <set>
#include <thread>

#include "corvane_interface.h"
#include "corvane_test_support.h"
#include "ini_manager.h"
#include "messaging_manager.h"
#include "vekai_utilities/vekai_utils.h"

namespace {

using namespace std::chrono_literals;
using namespace corvanetest;
using Deliveries = std::vector<Delivery>;

using vektest::waitFor;

constexpr const char* kBoxes = "bboxes-format:xyxysc;0:person";
// In the 64x64 model input stretched over the frame: one person on the red part, one on the green.
constexpr const char* kPersonOnRed = "8,8,24,40,0.9,0";
constexpr const char* kPersonOnGreen = "40,8,56,40,0.9,0";

struct Chaining : ::testing::Test {
    vektest::TempDir work;
    vektest::LogCapture log;
    MessagingManager messages;
    Collector collector;  // outlives the inference manager, whose workers call it
    std::unique_ptr<CorvaneInterface> corvane;
    std::shared_ptr<DeviceAgentDetails_t> details =
        std::make_shared<DeviceAgentDetails_t>(DeviceAgentDetails_t{"dev-1", "Camera"});
    std::set<int64_t> pushed;
    int64_t nextTimestamp = vekai_current_timestamp_us();

    void SetUp() override { installReferenceRuntime(work.path, VEK_REFERENCE_RUNTIME); }

    // A detector of people with the given box rows and further output entries.
    std::shared_ptr<ModelDetails_t> detector(const std::string& id, const std::string& rows, size_t count,
                                             const std::string& moreOutputs = "") {
        auto model =
            scriptedModel(work.path, id,
                          std::string(R"({"outputs":[{"name":")") + kBoxes + R"(","type":1,"shape":[1,)" +
                              std::to_string(count) + R"(,6],"values":[)" + rows + "]}" + moreOutputs + "]}");
        giveImageInput(*model, 64, 64);
        model->outputs = {{kBoxes, 24 * count, TensorElementType(1), {1, count, 6}}};
        model->boxesOutputName = kBoxes;
        model->boxesClassNames = {"person"};
        return model;
    }

    void start(const std::vector<std::shared_ptr<ModelDetails_t>>& models) {
        corvane = std::make_unique<CorvaneInterface>(work.path.string(), work.path.string(), messages);
        corvane->initialize();
        CorvaneInterface::ModelMap map;
        for (const auto& model : models)
            map[model->id] = model;
        corvane->processParameters(map);
        ASSERT_TRUE(corvane->hasInferenceEngine());
    }

    // Pushes frames 200 ms of frame time apart, each once the previous one had time to come back,
    // until the deliveries satisfy `done`; false if they never do.
    bool pushUntil(const std::shared_ptr<const DeviceAgentSettings_t>& settings,
                   const std::function<bool(const Deliveries&)>& done, int maxFrames = 25) {
        for (int i = 0; i < maxFrames; ++i) {
            pushed.insert(nextTimestamp);
            corvane->sendInputMessage(colourFrame(nextTimestamp), settings, details, collector.callback());
            nextTimestamp += 200000;
            if (collector.waitUntil(400ms, done))
                return true;
        }
        return false;
    }

    void expectDeliveriesCarryPushedTimestamps() {
        for (const auto& delivery : collector.all())
            EXPECT_TRUE(pushed.count(delivery.timestampUs)) << delivery.timestampUs;
    }

    static std::shared_ptr<DeviceAgentSettings_t> settingsWith(
        std::vector<pipeline_stage_parameters_t> roots) {
        auto settings = std::make_shared<DeviceAgentSettings_t>();
        settings->active = true;
        settings->stages = std::move(roots);
        return settings;
    }
};

TEST_F(Chaining, FeatureExtractionClassifiesTheCropOfEachObjectEvenOfAClassNotShown) {
    auto people = detector("people", std::string(kPersonOnRed) + "," + kPersonOnGreen, 2);
    auto colour = colourClassifier(work.path, "colour");
    auto root = stageFor(people);
    root.useVideoFrame = true;  // crops are cut from the converted frame
    root.activeClasses = {};    // people are not shown, yet still classified
    auto child = stageFor(colour);
    child.chainMethod = static_cast<int32_t>(ChainMethod::FeatureExtraction);
    child.featureExtractionClass = "person";
    root.children = {child};
    start({people, colour});

    ASSERT_TRUE(pushUntil(settingsWith({root}), [](const Deliveries& all) {
        return Collector::countCategory(all, "red") >= 2 && Collector::countCategory(all, "green") >= 2;
    }));
    const auto all = collector.all();
    EXPECT_EQ(Collector::countCategory(all, "blue"), 0u) << "only the objects' crops are classified";
    EXPECT_EQ(Collector::countObjects(all), 0u) << "a class missing from activeClasses is not shown";
    expectDeliveriesCarryPushedTimestamps();
}

// The parent echoes its own input (the green part of the frame) as its output; the child gets a copy
// of that output as its input when the declared tensors agree.
struct DirectCase {
    const char* name;
    std::vector<uint64_t> childShape;
    int childType;
    bool chained;
};

void PrintTo(const DirectCase& param, std::ostream* out) {
    *out << param.name;
}

class DirectChaining : public Chaining, public ::testing::WithParamInterface<DirectCase> {};

TEST_P(DirectChaining, ChildTakesACopyOfTheParentsOutputOnlyWhenTheTensorsMatch) {
    const DirectCase& param = GetParam();
    auto features =
        scriptedModel(work.path, "features", R"({"outputs":[{"name":"features","echo":"image"}]})");
    giveImageInput(*features, 1, 1);
    features->outputs = {{"features", 12, TensorElementType(1), {1, 3, 1, 1}}};
    auto head = scriptedModel(work.path, "head",
                              R"({"outputs":[{"name":")" + kColourScores + R"(","echo":"features"}]})");
    head->inputs = {{"features", 12, TensorElementType(param.childType), param.childShape}};
    head->outputs = {{kColourScores, 12, TensorElementType(1), {1, 3, 1, 1}}};

    auto root = stageFor(features, {0.5F, 0, 1, 0.75F});
    auto child = stageFor(head);
    child.chainMethod = static_cast<int32_t>(ChainMethod::Direct);
    root.children = {child};
    start({features, head});
    const auto settings = settingsWith({root});

    const std::string mismatch = "Warning! Couldn't find a match for tensor: features to chain directly.\n";
    if (param.chained) {
        ASSERT_TRUE(pushUntil(
            settings, [](const Deliveries& all) { return Collector::countCategory(all, "green") >= 2; }));
        const auto all = collector.all();
        EXPECT_EQ(Collector::countCategory(all, "red") + Collector::countCategory(all, "blue"), 0u);
        EXPECT_FALSE(log.contains(mismatch));
        expectDeliveriesCarryPushedTimestamps();
    } else {
        // The warning stands where the child would have been sent, so each one closes a result.
        for (size_t i = 1; i <= 3; ++i) {
            pushed.insert(nextTimestamp);
            corvane->sendInputMessage(colourFrame(nextTimestamp), settings, details, collector.callback());
            nextTimestamp += 200000;
            ASSERT_TRUE(waitFor(5s, [&] { return log.count(mismatch) >= i; }));
        }
        const auto all = collector.all();
        EXPECT_EQ(Collector::countCategory(all, "red") + Collector::countCategory(all, "green") +
                      Collector::countCategory(all, "blue"),
                  0u);
    }
}

INSTANTIATE_TEST_SUITE_P(Tensors, DirectChaining,
                         ::testing::Values(DirectCase{"Matching", {1, 3, 1, 1}, 1, true},
                                           DirectCase{"OtherShape", {1, 3, 2, 1}, 1, false},
                                           DirectCase{"OtherElementType", {1, 3, 1, 1}, 2, false}),
                         [](const ::testing::TestParamInfo<DirectCase>& info) {
                             return std::string(info.param.name);
                         });

// A detector of one person on red that may raise "Trigger"; its conditional child sees the whole
// frame through its own crop (the blue bottom), and a feature-extraction sibling, run on every
// object, shows that the parent's results were chained.
struct ConditionalCase {
    const char* name;
    std::string trigger;  // further output entries of the detector
    bool runs;
};

void PrintTo(const ConditionalCase& param, std::ostream* out) {
    *out << param.name;
}

class ConditionalChaining : public Chaining, public ::testing::WithParamInterface<ConditionalCase> {};

TEST_P(ConditionalChaining, WholeFrameChildRunsOnlyOnATrueBoolTrigger) {
    const ConditionalCase& param = GetParam();
    auto person = detector("person", kPersonOnRed, 1, param.trigger);
    auto colour = colourClassifier(work.path, "colour");
    auto root = stageFor(person);
    root.useVideoFrame = true;
    root.activeClasses = {{"person", true}};
    auto conditional = stageFor(colour, {0, 0.75F, 1, 1});
    conditional.chainMethod = static_cast<int32_t>(ChainMethod::Conditional);
    auto sibling = stageFor(colour);
    sibling.chainMethod = static_cast<int32_t>(ChainMethod::FeatureExtraction);
    sibling.featureExtractionClass = "person";
    root.children = {conditional, sibling};
    start({person, colour});

    ASSERT_TRUE(pushUntil(settingsWith({root}), [&](const Deliveries& all) {
        return Collector::countCategory(all, "red") >= 3 &&
               (!param.runs || Collector::countCategory(all, "blue") >= 1);
    }));
    const auto all = collector.all();
    EXPECT_EQ(Collector::countCategory(all, "green"), 0u);
    if (param.runs) {
        EXPECT_GE(Collector::countCategory(all, "blue"), Collector::countCategory(all, "red"))
            << "every result with the trigger feeds the conditional child";
    } else {
        EXPECT_EQ(Collector::countCategory(all, "blue"), 0u);
    }
    expectDeliveriesCarryPushedTimestamps();
}

INSTANTIATE_TEST_SUITE_P(
    Trigger, ConditionalChaining,
    ::testing::Values(
        ConditionalCase{"TrueBool", R"(,{"name":"Trigger","type":9,"shape":[1],"values":[1]})", true},
        ConditionalCase{"FalseBool", R"(,{"name":"Trigger","type":9,"shape":[1],"values":[0]})", false},
        ConditionalCase{"TrueButUint8", R"(,{"name":"Trigger","type":2,"shape":[1],"values":[1]})", false},
        ConditionalCase{"OtherName", R"(,{"name":"trigger","type":9,"shape":[1],"values":[1]})", false},
        ConditionalCase{"Absent", "", false}),
    [](const ::testing::TestParamInfo<ConditionalCase>& info) { return std::string(info.param.name); });

TEST_F(Chaining, TwoRootNodesMakeTwoRequestsPerFrameEachFromItsOwnCrop) {
    auto colour = colourClassifier(work.path, "colour");
    auto left = stageFor(colour, {0, 0, 0.5F, 0.75F});
    auto right = stageFor(colour, {0.5F, 0, 1, 0.75F});
    start({colour});
    const auto settings = settingsWith({left, right});
    for (int frame = 1; frame <= 3; ++frame) {
        ASSERT_TRUE(pushUntil(
            settings,
            [frame](const Deliveries& all) {
                return Collector::countCategory(all, "red") == static_cast<size_t>(frame) &&
                       Collector::countCategory(all, "green") == static_cast<size_t>(frame);
            },
            1));
    }
    std::map<int64_t, std::multiset<std::string>> byFrame;
    for (const auto& delivery : collector.all())
        for (const auto& category : delivery.categories)
            byFrame[delivery.timestampUs].insert(category);
    ASSERT_EQ(byFrame.size(), 3u);
    for (const auto& [timestamp, categories] : byFrame)
        EXPECT_EQ(categories, (std::multiset<std::string>{"green", "red"})) << timestamp;
    expectDeliveriesCarryPushedTimestamps();
}

// With one worker permit, frames that arrive while the worker still preprocesses are refused at once.
struct OneWorker : Chaining {
    int savedLimit = ini().MaxNumberConcurrentInputOutputThreads;
    void SetUp() override {
        Chaining::SetUp();
        ini().MaxNumberConcurrentInputOutputThreads = 1;
    }
    void TearDown() override { ini().MaxNumberConcurrentInputOutputThreads = savedLimit; }
};

TEST_F(OneWorker, FramesArrivingWhileTheWorkerIsBusyAreDroppedNotQueued) {
    // A large input prepared on the worker keeps it busy long after the host thread returned.
    auto heavy = scriptedModel(work.path, "heavy",
                               R"({"outputs":[{"name":"scores-0:seen","type":1,"shape":[1],"values":[1]}]})");
    giveImageInput(*heavy, 1024, 1024);
    auto stage = stageFor(heavy);
    stage.useVideoFrame = true;
    start({heavy});
    ASSERT_EQ(corvane->getWorkerLimit(), 1);
    const auto settings = settingsWith({stage});

    constexpr size_t kFrames = 12;
    std::vector<FramePtr> frames;
    for (size_t i = 0; i < kFrames; ++i)
        frames.push_back(colourFrame(nextTimestamp + static_cast<int64_t>(i) * 40000, 1920, 1080));
    for (const auto& frame : frames)
        corvane->sendInputMessage(frame, settings, details, collector.callback());

    const size_t dropped = log.count("Warning! Input processing queue is full!\n");
    EXPECT_GE(dropped, 1u);
    ASSERT_LT(dropped, kFrames) << "the first frame finds the permit free";
    // Every admitted frame comes back, unless its result found the one output worker busy (logged).
    const auto returned = [&] {
        return collector.categoryCount("seen") + log.count("Warning! Output processing queue is full!\n");
    };
    ASSERT_TRUE(waitFor(10s, [&] { return returned() >= kFrames - dropped; }));
    corvane->waitForInFlightInferences();
    std::this_thread::sleep_for(300ms);  // a queued frame would come back late
    EXPECT_EQ(returned(), kFrames - dropped);
}

TEST(WorkerLimit, FollowsTheConfigurationWithinOneAnd1024) {
    const int saved = ini().MaxNumberConcurrentInputOutputThreads;
    vektest::TempDir work;
    MessagingManager messages;
    for (const auto& [configured, expected] :
         std::vector<std::pair<int, int64_t>>{{1, 1}, {8, 8}, {1024, 1024}, {5000, 1024}}) {
        ini().MaxNumberConcurrentInputOutputThreads = configured;
        CorvaneInterface corvane(work.path.string(), work.path.string(), messages);
        EXPECT_EQ(corvane.getWorkerLimit(), expected) << configured;
    }
    ini().MaxNumberConcurrentInputOutputThreads = saved;
}

}  // namespace
