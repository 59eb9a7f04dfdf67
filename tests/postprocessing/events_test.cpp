#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "postprocessing_test_support.h"

namespace {

using vekai::EventPtr;
using vekai::ObjectsByClass;
using vekai::PostProcessor;
using vekai::VekAIObjectPtr;

constexpr int64_t kMs = 1000;

void expectEvent(const EventPtr& event, const char* typeId, bool active, const char* caption,
                 const std::string& description) {
    ASSERT_TRUE(event);
    EXPECT_STREQ(event->typeId(), typeId);
    EXPECT_EQ(event->isActive(), active);
    EXPECT_STREQ(event->caption(), caption);
    EXPECT_EQ(event->description(), description);
}

// ---- category ----

struct ScoresCase {
    const char* label;
    const char* tensorName;
    std::vector<float> scores;
    const char* category;  // null: no event
    const char* logLine;   // null: nothing checked
};

class CategoryEvent : public testing::TestWithParam<ScoresCase> {};

TEST_P(CategoryEvent, NamesTheWinningClass) {
    const ScoresCase& c = GetParam();
    StageFixture fixture;
    fixture.model->scoresOutputName = "scores-logits";
    fixture.model->scoresClassNames = {"indoor", "outdoor", "night"};
    PostProcessor processor("/tmp");
    LogCapture log;
    const auto request = fixture.request(0);
    const TensorsPtr set = floatSet(c.tensorName, c.scores);
    const EventPtr event = processor.process_scores(request, set.get());
    if (c.category == nullptr) {
        EXPECT_FALSE(event) << c.label;
    } else {
        expectEvent(event, "vek.vekai.category", true, "Category detected",
                    std::string("\n") + c.category + "\n");
    }
    if (c.logLine != nullptr) {
        EXPECT_NE(log.text().find(c.logLine), std::string::npos) << c.label << "\n" << log.text();
    }
}

INSTANTIATE_TEST_SUITE_P(
    Scores, CategoryEvent,
    testing::Values(ScoresCase{"a tie goes to the first class",
                               "scores-0:cat;1:dog",
                               {0.3f, 0.3f},
                               "cat",
                               "Detected changed scores output: scores-0:cat;1:dog\n"},
                    ScoresCase{"highest score", "scores-0:cat;1:dog", {0.1f, 0.7f}, "dog", nullptr},
                    ScoresCase{"declared output uses the model's names",
                               "scores-logits",
                               {0.1f, 0.5f, 0.2f},
                               "outdoor",
                               nullptr},
                    ScoresCase{"size mismatch",
                               "scores-0:cat;1:dog",
                               {0.3f, 0.3f, 0.4f},
                               nullptr,
                               "Error! Tensor output size: 3 does not match expected size: 2\n"},
                    ScoresCase{"declared output of the wrong size",
                               "scores-logits",
                               {0.1f, 0.5f},
                               nullptr,
                               "Error! Tensor output size: 2 does not match expected size: 3\n"},
                    ScoresCase{"no classes", "scores-", {}, nullptr, nullptr},
                    ScoresCase{
                        "name not beginning with scores-", "my-scores-0:cat", {1.0f}, nullptr, nullptr}),
    CaseName());

TEST(CategoryEvent, LogsNothingForTheDeclaredOutput) {
    StageFixture fixture;
    fixture.model->scoresOutputName = "scores-0:cat;1:dog";
    fixture.model->scoresClassNames = {"lion", "wolf"};
    PostProcessor processor("/tmp");
    LogCapture log;
    const TensorsPtr set = floatSet("scores-0:cat;1:dog", {0.2f, 0.8f});
    const EventPtr event = processor.process_scores(fixture.request(0), set.get());
    ASSERT_TRUE(event);
    EXPECT_STREQ(event->description(), "\nwolf\n");
    EXPECT_EQ(log.text().find("Detected changed scores output"), std::string::npos);
}

// ---- throughput ----

TEST(ThroughputEvent, DescribesDeviceAndServerRatesAsWholeNumbers) {
    StageFixture fixture;
    PostProcessor processor("/tmp");
    LogCapture log;
    InferenceOutput_t result = fixture.result(0, nullptr);
    EXPECT_FALSE(processor.processThroughput(result)) << "only fresh rates make an event";

    result.hasThroughput = true;
    result.engineInputFps = 61.5;
    result.deviceInputFps = 30.2;
    result.engineOutputFps = 59.99;
    result.deviceOutputFps = 29.9;
    expectEvent(processor.processThroughput(result), "vek.vekai.fps", false, "Performance",
                "\nDevice throughput: 29 / 30 Inferences/s\nServer throughput: 59 / 61 Inferences/s\n");
    processor.processThroughput(result);
    const std::string& text = log.text();
    const std::string line = "Engine throughput: [Output/Input] 59.99 / 61.50 \n";
    const size_t first = text.find(line);
    EXPECT_NE(first, std::string::npos) << text;
    EXPECT_EQ(text.find(line, first + 1), std::string::npos) << "at most one log line per second";
}

TEST(ThroughputEvent, RatesThatAreNoNumberPrintAsZero) {
    StageFixture fixture;
    PostProcessor processor("/tmp");
    InferenceOutput_t result = fixture.result(0, nullptr);
    result.hasThroughput = true;
    result.deviceOutputFps = std::numeric_limits<double>::quiet_NaN();
    result.deviceInputFps = std::numeric_limits<double>::infinity();
    result.engineOutputFps = 1e300;
    result.engineInputFps = -0.5;
    const EventPtr event = processor.processThroughput(result);
    ASSERT_TRUE(event);
    EXPECT_STREQ(
        event->description(),
        "\nDevice throughput: 0 / 0 Inferences/s\nServer throughput: 9223372036854775807 / 0 Inferences/s\n");
}

// ---- line crossing ----

// An object of the given track whose box centre is (x, y).
VekAIObjectPtr objectCentredAt(uint8_t track, float x, float y) {
    auto object = std::make_shared<VekAIObject_t>();
    object->trackId.bytes[0] = track;
    object->boundingBox = {x - 0.25f, y - 0.25f, 0.5f, 0.5f};
    return object;
}

struct Sighting {
    int64_t timeMs;
    std::vector<std::tuple<uint8_t, float, float>> objects;  // track, centre x, centre y
    const char* description;                                 // null: no event
};

struct CrossingCase {
    const char* label;
    std::array<float, 4> line;
    std::vector<Sighting> frames;
};

class LineCrossing : public testing::TestWithParam<CrossingCase> {};

TEST_P(LineCrossing, CountsTracksCrossingTheSegment) {
    const CrossingCase& c = GetParam();
    StageFixture fixture;
    fixture.stage.crossingLine = c.line;
    PostProcessor processor("/tmp");
    for (const Sighting& frame : c.frames) {
        ObjectsByClass objects;
        for (const auto& [track, x, y] : frame.objects)
            objects["person"].push_back(objectCentredAt(track, x, y));
        const EventPtr event = processor.process_linecrossing(fixture.request(frame.timeMs * kMs), objects);
        if (frame.description == nullptr) {
            EXPECT_FALSE(event) << c.label << " at " << frame.timeMs << " ms: " << event->description();
        } else {
            SCOPED_TRACE(std::string(c.label) + " at " + std::to_string(frame.timeMs) + " ms");
            expectEvent(event, "vek.vekai.linecrossing", true, "Line crossing detected", frame.description);
        }
    }
}

constexpr std::array<float, 4> kHorizontal{0, 0.5f, 1, 0.5f};
constexpr std::array<float, 4> kVertical{0.5f, 0, 0.5f, 1};

INSTANTIATE_TEST_SUITE_P(
    Moves, LineCrossing,
    testing::Values(
        CrossingCase{"downwards into the positive side",
                     kHorizontal,
                     {{0, {{1, 0.5f, 0.4f}}, nullptr},
                      {40, {{1, 0.5f, 0.6f}}, "Left: 1\nRight: 0"},
                      // Once counted, every frame carries the totals, with or without objects.
                      {80, {{1, 0.5f, 0.7f}}, "Left: 1\nRight: 0"},
                      {120, {}, "Left: 1\nRight: 0"}}},
        CrossingCase{"upwards into the negative side",
                     kHorizontal,
                     {{0, {{1, 0.5f, 0.6f}}, nullptr}, {40, {{1, 0.5f, 0.4f}}, "Left: 0\nRight: 1"}}},
        CrossingCase{"left to right across a vertical line",
                     kVertical,
                     {{0, {{1, 0.4f, 0.5f}}, nullptr}, {40, {{1, 0.6f, 0.5f}}, "Left: 0\nRight: 1"}}},
        CrossingCase{"beside the segment",
                     kHorizontal,
                     {{0, {{1, 1.2f, 0.4f}}, nullptr}, {40, {{1, 1.2f, 0.6f}}, nullptr}}},
        CrossingCase{"touching the line and going on",
                     kHorizontal,
                     {{0, {{1, 0.5f, 0.4f}}, nullptr},
                      {40, {{1, 0.5f, 0.5f}}, nullptr},
                      {80, {{1, 0.5f, 0.6f}}, nullptr}}},
        CrossingCase{"touching the line and going back",
                     kHorizontal,
                     {{0, {{1, 0.5f, 0.4f}}, nullptr},
                      {40, {{1, 0.5f, 0.5f}}, nullptr},
                      {80, {{1, 0.5f, 0.4f}}, nullptr}}},
        CrossingCase{"two tracks in opposite directions",
                     kHorizontal,
                     {{0, {{1, 0.3f, 0.4f}, {2, 0.7f, 0.6f}}, nullptr},
                      {40, {{1, 0.3f, 0.6f}, {2, 0.7f, 0.4f}}, "Left: 1\nRight: 1"},
                      {80, {{1, 0.3f, 0.4f}}, "Left: 1\nRight: 2"}}},
        CrossingCase{"other tracks do not cross for each other",
                     kHorizontal,
                     {{0, {{1, 0.5f, 0.4f}}, nullptr}, {40, {{2, 0.5f, 0.6f}}, nullptr}}},
        CrossingCase{"back after more than a second, with frames in between",
                     kHorizontal,
                     {{0, {{1, 0.5f, 0.4f}}, nullptr},
                      {600, {}, nullptr},
                      {1050, {}, nullptr},
                      {1100, {{1, 0.5f, 0.6f}}, nullptr}}},
        CrossingCase{"back after more than a second, at once",
                     kHorizontal,
                     {{0, {{1, 0.5f, 0.4f}}, nullptr}, {1001, {{1, 0.5f, 0.6f}}, nullptr}}},
        CrossingCase{"back after exactly one second",
                     kHorizontal,
                     {{0, {{1, 0.5f, 0.4f}}, nullptr}, {1000, {{1, 0.5f, 0.6f}}, "Left: 1\nRight: 0"}}}),
    CaseName());

TEST(LineCrossing, NeedsALineAndKeepsDevicesApart) {
    StageFixture withoutLine;
    StageFixture first("device-a");
    StageFixture second("device-b");
    first.stage.crossingLine = kHorizontal;
    second.stage.crossingLine = kHorizontal;
    PostProcessor processor("/tmp");
    const ObjectsByClass above{{"person", {objectCentredAt(1, 0.5f, 0.4f)}}};
    const ObjectsByClass below{{"person", {objectCentredAt(1, 0.5f, 0.6f)}}};
    EXPECT_FALSE(processor.process_linecrossing(withoutLine.request(0), above));
    EXPECT_FALSE(processor.process_linecrossing(withoutLine.request(40 * kMs), below));
    EXPECT_FALSE(processor.process_linecrossing(first.request(0), above));
    EXPECT_TRUE(processor.process_linecrossing(first.request(40 * kMs), below));
    // The same track id on another device has no history there.
    EXPECT_FALSE(processor.process_linecrossing(second.request(40 * kMs), below));
}

// ---- object counting ----

ObjectsByClass countsFrame(const std::vector<std::pair<std::string, size_t>>& counts) {
    ObjectsByClass objects;
    for (const auto& [name, count] : counts) {
        for (size_t i = 0; i < count; ++i)
            objects[name].push_back(std::make_shared<VekAIObject_t>());
    }
    return objects;
}

struct CountingCase {
    const char* label;
    std::vector<std::vector<std::pair<std::string, size_t>>> frames;
    std::vector<const char*> descriptions;  // per frame; null: no event
};

class ObjectCounting : public testing::TestWithParam<CountingCase> {};

TEST_P(ObjectCounting, ReportsTheMostFrequentRecentCount) {
    const CountingCase& c = GetParam();
    StageFixture fixture;
    PostProcessor processor("/tmp");
    for (size_t i = 0; i < c.frames.size(); ++i) {
        const EventPtr event =
            processor.process_object_counting(fixture.request(0), countsFrame(c.frames[i]));
        if (c.descriptions[i] == nullptr) {
            EXPECT_FALSE(event) << c.label << ", frame " << i;
        } else {
            SCOPED_TRACE(std::string(c.label) + ", frame " + std::to_string(i));
            expectEvent(event, "vek.vekai.counted", true, "Objects counted", c.descriptions[i]);
        }
    }
}

using Frame = std::vector<std::pair<std::string, size_t>>;

INSTANTIATE_TEST_SUITE_P(
    Histories, ObjectCounting,
    testing::Values(
        CountingCase{"ties go to the oldest value",
                     {{{"person", 2}}, {{"person", 3}}, {{"person", 3}}, {{"person", 2}}, {{"person", 3}}},
                     {"\nperson: 2\n", "\nperson: 2\n", "\nperson: 3\n", "\nperson: 2\n", "\nperson: 3\n"}},
        CountingCase{"classes in name order",
                     {{{"person", 2}, {"car", 1}}, {{"person", 2}, {"car", 1}}},
                     {"\ncar: 1\nperson: 2\n", "\ncar: 1\nperson: 2\n"}},
        CountingCase{
            "a frame without objects has no event", {Frame{}, {{"car", 4}}}, {nullptr, "\ncar: 4\n"}},
        CountingCase{"absent classes keep their history",
                     {{{"person", 1}}, {{"person", 1}}, {{"car", 5}}, {{"person", 2}}, {{"person", 2}}},
                     {"\nperson: 1\n", "\nperson: 1\n", "\ncar: 5\n", "\nperson: 1\n", "\nperson: 1\n"}},
        // Five ones then five twos tie at ten values; the eleventh value pushes out the oldest one.
        CountingCase{"ten values are kept",
                     {{{"bus", 1}},
                      {{"bus", 1}},
                      {{"bus", 1}},
                      {{"bus", 1}},
                      {{"bus", 1}},
                      {{"bus", 2}},
                      {{"bus", 2}},
                      {{"bus", 2}},
                      {{"bus", 2}},
                      {{"bus", 2}},
                      {{"bus", 2}}},
                     {"\nbus: 1\n", "\nbus: 1\n", "\nbus: 1\n", "\nbus: 1\n", "\nbus: 1\n", "\nbus: 1\n",
                      "\nbus: 1\n", "\nbus: 1\n", "\nbus: 1\n", "\nbus: 1\n", "\nbus: 2\n"}}),
    CaseName());

TEST(ObjectCounting, DevicesKeepTheirOwnHistory) {
    StageFixture first("device-a");
    StageFixture second("device-b");
    PostProcessor processor("/tmp");
    processor.process_object_counting(first.request(0), countsFrame({{"car", 3}}));
    processor.process_object_counting(first.request(0), countsFrame({{"car", 3}}));
    const EventPtr event = processor.process_object_counting(second.request(0), countsFrame({{"car", 1}}));
    ASSERT_TRUE(event);
    EXPECT_STREQ(event->description(), "\ncar: 1\n");
}

// ---- the whole pass ----

TEST(PostprocessingPass, ProducesEventsInItsOrderFromMaskedObjects) {
    StageFixture fixture;
    fixture.stage.crossingLine = kHorizontal;
    PostProcessor processor("/tmp");
    // A tall box whose centre moves from y = 0.4 to y = 0.6 between the third and fourth frame.
    const std::vector<BoxRow> above{pixelRow(0.4f, 0.15f, 0.2f, 0.5f, 0.9f, 0)};
    const std::vector<BoxRow> below{pixelRow(0.4f, 0.35f, 0.2f, 0.5f, 0.9f, 0)};
    const auto third = runFrames(processor, fixture, above, 3);
    ASSERT_EQ(objectCount(third.objects), 1u);
    ASSERT_EQ(third.events.size(), 1u);
    EXPECT_STREQ(third.events[0]->typeId(), "vek.vekai.counted");

    InferenceOutput_t result =
        fixture.result(600 * kMs, mergeSets(boxesSet(below), floatSet("scores-0:day;1:night", {0.2f, 0.8f})));
    result.hasThroughput = true;
    const auto fourth = processor.process(result);
    ASSERT_EQ(fourth.events.size(), 4u);
    EXPECT_STREQ(fourth.events[0]->typeId(), "vek.vekai.fps");
    EXPECT_STREQ(fourth.events[1]->typeId(), "vek.vekai.category");
    EXPECT_STREQ(fourth.events[2]->typeId(), "vek.vekai.linecrossing");
    EXPECT_STREQ(fourth.events[2]->description(), "Left: 1\nRight: 0");
    EXPECT_STREQ(fourth.events[3]->typeId(), "vek.vekai.counted");
    EXPECT_TRUE(fourth.bestShots.empty());
}

TEST(PostprocessingPass, MaskedObjectsReachNoEventAndClassesLeftEmptyAreDropped) {
    StageFixture fixture;
    // Excludes the left half of the frame.
    fixture.stage.masks.push_back({1, {0, 0, 0.5f, 0, 0.5f, 1, 0, 1}});
    PostProcessor processor("/tmp");
    const std::vector<BoxRow> rows{pixelRow(0.1f, 0.1f, 0.2f, 0.2f, 0.9f, 0),   // person, left
                                   pixelRow(0.6f, 0.1f, 0.2f, 0.2f, 0.9f, 1),   // car, right
                                   pixelRow(0.1f, 0.5f, 0.2f, 0.2f, 0.9f, 1)};  // car, left
    const auto output = runFrames(processor, fixture, rows, 3);
    ASSERT_EQ(output.objects.size(), 1u);
    ASSERT_EQ(output.objects.at("car").size(), 1u);
    EXPECT_FLOAT_EQ(output.objects.at("car")[0]->boundingBox.x, 0.6f);
    ASSERT_EQ(output.events.size(), 1u);
    EXPECT_STREQ(output.events[0]->description(), "\ncar: 1\n");
}

TEST(ObjectMetadata, CarriesTheObjectsFields) {
    VekAIObject_t object;
    object.trackId.bytes = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
    object.typeId = "vek.vekai.forklift";
    object.boundingBox = {0.1f, 0.2f, 0.3f, 0.4f};
    object.confidence = 0.65f;
    object.attributes.emplace_back(
        new vek::sdk::analytics::Attribute(vek::sdk::analytics::IAttribute::Type::string, "Colour", "red"));
    const auto metadata = PostProcessor::createObjectMetadata(object);
    ASSERT_TRUE(metadata);
    EXPECT_STREQ(metadata->typeId(), "vek.vekai.forklift");
    EXPECT_EQ(metadata->trackId(), object.trackId);
    EXPECT_EQ(metadata->boundingBox().x, 0.1f);
    EXPECT_EQ(metadata->boundingBox().height, 0.4f);
    EXPECT_EQ(metadata->confidence(), 0.65f);
    ASSERT_EQ(metadata->attributeCount(), 1);
    vek::sdk::Ptr<const vek::sdk::analytics::IAttribute> attribute(metadata->attribute(0));
    EXPECT_STREQ(attribute->name(), "Colour");
    EXPECT_STREQ(attribute->value(), "red");
}

}  // namespace
