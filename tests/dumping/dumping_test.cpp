#include <gtest/gtest.h>

#include <vektest/log_capture.h>
#include <vektest/temp_dir.h>
#include <optional>
#include <string>

#include "postprocessing_test_support.h"

namespace {

using vek::sdk::analytics::Rect;
using vekai::EventPtr;
using vekai::ObjectsByClass;
using vekai::PostProcessor;
using vekai::VekAIObjectPtr;

constexpr int64_t kSecond = 1000000;
constexpr const char* kDevice = "device-a";
constexpr const char* kStage = "stage-1";

std::optional<std::string> attribute(const VekAIObject_t& object, const std::string& name) {
    std::optional<std::string> found;
    for (const auto& entry : object.attributes) {
        if (entry && entry->name() == name) {
            EXPECT_FALSE(found) << "attribute " << name << " is there more than once";
            EXPECT_FLOAT_EQ(entry->confidence(), 1.0f);
            found = entry->value();
        }
    }
    return found;
}

struct DumpingStage : StageFixture {
    DumpingStage() : StageFixture(kDevice) {
        stage.stageId = kStage;
        stage.dumpingSettings = DumpingDetectionSettings_t{true, "car", 60 * kSecond, 0.1, 0.75};
    }
};

VekAIObjectPtr car(const Rect& box, uint8_t id) {
    auto object = std::make_shared<VekAIObject_t>();
    object->boundingBox = box;
    object->trackId.bytes[0] = id;
    object->typeId = "vek.vekai.car";
    return object;
}

// Hand-built objects of one frame; the same object pointers may be passed again, as the tracker's
// reported copies would carry the attributes of the previous frame.
struct Scene {
    PostProcessor processor{"/nonexistent-working-directory"};
    DumpingStage stage;

    EventPtr frame(int64_t timestampUs, const std::vector<VekAIObjectPtr>& cars) {
        ObjectsByClass objects;
        if (!cars.empty())
            objects["car"] = cars;
        return processor.process_dumping(stage.request(timestampUs), objects);
    }
};

void expectDumpingEvent(const EventPtr& event, int64_t thresholdSeconds) {
    ASSERT_TRUE(event);
    EXPECT_STREQ(event->typeId(), "vek.vekai.dumping");
    EXPECT_TRUE(event->isActive());
    EXPECT_STREQ(event->caption(), "Dumping Detected!");
    EXPECT_EQ(event->description(),
              "An object has not moved for longer than " + std::to_string(thresholdSeconds) + " seconds.");
}

// ---- resting objects ----

struct RestCase {
    const char* label;
    int64_t restedUs;
    const char* stationary;
    bool dumped;
};

class RestingObject : public testing::TestWithParam<RestCase> {};

TEST_P(RestingObject, GetsStationaryTimeAndPastTheThresholdIsDumped) {
    const RestCase& c = GetParam();
    Scene scene;
    const auto parked = car({0.2f, 0.2f, 0.3f, 0.3f}, 1);
    const int64_t start = 1000 * kSecond;
    EXPECT_FALSE(scene.frame(start, {parked})) << "first sighting only starts the watch";
    EXPECT_FALSE(attribute(*parked, "Stationary time"));
    EXPECT_FALSE(scene.frame(start + 30 * kSecond, {parked}));
    const EventPtr event = scene.frame(start + c.restedUs, {parked});
    EXPECT_EQ(attribute(*parked, "Stationary time"), std::optional<std::string>(c.stationary));
    if (c.dumped) {
        EXPECT_EQ(attribute(*parked, "Dumped Object"), std::optional<std::string>("True"));
        expectDumpingEvent(event, 60);
    } else {
        EXPECT_FALSE(attribute(*parked, "Dumped Object"));
        EXPECT_FALSE(event);
    }
}

INSTANTIATE_TEST_SUITE_P(Thresholds, RestingObject,
                         testing::Values(RestCase{"just below the threshold", 59900000, "59 s", false},
                                         RestCase{"exactly the threshold", 60 * kSecond, "60 s", true},
                                         RestCase{"well past the threshold", 125 * kSecond, "125 s", true}),
                         CaseName());

struct MoveCase {
    const char* label;
    float dx;
    float dy;
    const char* stationaryAfterMove;  // null: none on the frame of the move
    const char* stationaryLater;      // 10 s after the move
};

class MovingObject : public testing::TestWithParam<MoveCase> {};

TEST_P(MovingObject, RestartsItsStationaryTimeOnlyWhenItsCentreMovesFarEnough) {
    const MoveCase& c = GetParam();
    Scene scene;
    const auto parked = car({0.2f, 0.2f, 0.3f, 0.3f}, 1);
    const int64_t start = 1000 * kSecond;
    scene.frame(start, {parked});
    scene.frame(start + 30 * kSecond, {parked});
    ASSERT_EQ(attribute(*parked, "Stationary time"), std::optional<std::string>("30 s"));
    parked->boundingBox.x += c.dx;
    parked->boundingBox.y += c.dy;
    scene.frame(start + 40 * kSecond, {parked});
    EXPECT_EQ(attribute(*parked, "Stationary time"),
              c.stationaryAfterMove ? std::optional<std::string>(c.stationaryAfterMove) : std::nullopt);
    scene.frame(start + 50 * kSecond, {parked});
    EXPECT_EQ(attribute(*parked, "Stationary time"), std::optional<std::string>(c.stationaryLater));
}

INSTANTIATE_TEST_SUITE_P(Distances, MovingObject,
                         testing::Values(MoveCase{"diagonal move of 0.141", 0.1f, 0.1f, nullptr, "10 s"},
                                         MoveCase{"small move of 0.05", 0.05f, 0.0f, "40 s", "50 s"}),
                         CaseName());

TEST(DumpingEvent, RepeatsForAnObjectOnlyAfterTheEventInterval) {
    Scene scene;
    const auto parked = car({0.2f, 0.2f, 0.3f, 0.3f}, 1);
    const int64_t start = 1000 * kSecond;
    scene.frame(start, {parked});
    expectDumpingEvent(scene.frame(start + 61 * kSecond, {parked}), 60);
    EXPECT_FALSE(scene.frame(start + 62 * kSecond, {parked}));
    EXPECT_FALSE(scene.frame(start + 66 * kSecond, {parked}));
    expectDumpingEvent(scene.frame(start + 66 * kSecond + 1, {parked}), 60);
    EXPECT_EQ(attribute(*parked, "Dumped Object"), std::optional<std::string>("True"));

    // Another object reaching the threshold raises the event while the first one is held back.
    const auto second = car({0.6f, 0.6f, 0.2f, 0.2f}, 2);
    scene.frame(start + 67 * kSecond, {parked, second});
    EXPECT_FALSE(scene.frame(start + 68 * kSecond, {parked, second}));
    expectDumpingEvent(scene.frame(start + 126 * kSecond + kSecond / 2, {parked, second}), 60);
    EXPECT_FALSE(attribute(*second, "Dumped Object"));
    expectDumpingEvent(scene.frame(start + 127 * kSecond, {parked, second}), 60);
    EXPECT_EQ(attribute(*second, "Dumped Object"), std::optional<std::string>("True"));
}

TEST(DumpingEvent, ShortThresholdRaisesTheEventEarlyInTheClock) {
    Scene scene;
    scene.stage.stage.dumpingSettings->timeThresholdUs = 2 * kSecond;
    const auto parked = car({0.2f, 0.2f, 0.3f, 0.3f}, 1);
    scene.frame(0, {parked});
    expectDumpingEvent(scene.frame(2 * kSecond, {parked}), 2);
}

TEST(DumpingEvent, NothingWithoutSettingsObjectsOrTheWatchedClass) {
    Scene scene;
    const auto parked = car({0.2f, 0.2f, 0.3f, 0.3f}, 1);
    scene.stage.stage.dumpingSettings->objectType = "truck";
    scene.frame(0, {parked});
    EXPECT_FALSE(scene.frame(100 * kSecond, {parked}));
    EXPECT_TRUE(parked->attributes.empty());

    scene.stage.stage.dumpingSettings.reset();
    scene.frame(0, {parked});
    EXPECT_FALSE(scene.frame(100 * kSecond, {parked}));
    EXPECT_TRUE(parked->attributes.empty());
}

TEST(DumpingEvent, VanishedTracksAreForgottenOnceManyAreWatched) {
    Scene scene;
    const auto kept = PostProcessor::kDumpingStatesKept;
    for (size_t i = 0; i < kept; ++i) {
        auto passing = car({0.2f, 0.2f, 0.3f, 0.3f}, 0);
        passing->trackId.bytes[1] = static_cast<uint8_t>(i);
        passing->trackId.bytes[2] = 1;
        scene.frame(static_cast<int64_t>(i) * 1000, {passing});
    }
    EXPECT_EQ(scene.processor.dumpingWatchedTracks(kDevice), kept) << "no more than kept: nothing goes";

    // One more track, within the idle time of all the others: still nothing goes.
    const auto parked = car({0.6f, 0.6f, 0.2f, 0.2f}, 7);
    scene.frame(5 * kSecond, {parked});
    EXPECT_EQ(scene.processor.dumpingWatchedTracks(kDevice), kept + 1);

    // Once they have been gone for long enough they are forgotten; the one still there keeps its time.
    scene.frame(10 * kSecond, {parked});
    EXPECT_EQ(scene.processor.dumpingWatchedTracks(kDevice), kept + 1);
    scene.frame(12 * kSecond, {parked});
    EXPECT_EQ(scene.processor.dumpingWatchedTracks(kDevice), 1u);
    scene.frame(30 * kSecond, {parked});
    EXPECT_EQ(attribute(*parked, "Stationary time"), std::optional<std::string>("25 s"));
}

// ---- reference run ----

TEST(ReferenceRun, ObjectOverlappingARecordedBoxIsNeverReported) {
    Scene scene;
    const auto parked = car({0.2f, 0.2f, 0.3f, 0.3f}, 1);
    scene.processor.addReferenceRun(kDevice, kStage);
    EXPECT_FALSE(scene.frame(0, {}));
    EXPECT_TRUE(scene.processor.dumpingKnownBoxes(kDevice).empty())
        << "a frame without objects keeps it pending";
    EXPECT_FALSE(scene.frame(1 * kSecond, {parked}));
    ASSERT_EQ(scene.processor.dumpingKnownBoxes(kDevice).size(), 1u);

    // Slightly shifted: IoU about 0.8 with the recorded box.
    const auto same = car({0.2f, 0.2f, 0.3f, 0.3f}, 3);
    same->boundingBox.x += 0.0333f;
    const auto elsewhere = car({0.6f, 0.6f, 0.2f, 0.2f}, 4);
    scene.frame(2 * kSecond, {same, elsewhere});
    for (int64_t t = 10; t <= 200; t += 10) {
        const EventPtr event = scene.frame(t * kSecond, {same});
        EXPECT_FALSE(event) << "at " << t << " s";
    }
    EXPECT_TRUE(same->attributes.empty());
    expectDumpingEvent(scene.frame(201 * kSecond, {same, elsewhere}), 60);
    EXPECT_TRUE(same->attributes.empty());
    EXPECT_EQ(attribute(*elsewhere, "Dumped Object"), std::optional<std::string>("True"));
}

TEST(ReferenceRun, ObjectMarkedBeforeTheRunLosesItsMarks) {
    Scene scene;
    const auto parked = car({0.2f, 0.2f, 0.3f, 0.3f}, 1);
    parked->attributes.push_back(vek::sdk::Ptr<vek::sdk::analytics::Attribute>(
        new vek::sdk::analytics::Attribute(vek::sdk::analytics::Attribute::Type::string, "colour", "red")));
    scene.frame(0, {parked});
    expectDumpingEvent(scene.frame(70 * kSecond, {parked}), 60);
    scene.processor.addReferenceRun(kDevice, kStage);
    EXPECT_FALSE(scene.frame(71 * kSecond, {parked}));
    EXPECT_EQ(attribute(*parked, "Dumped Object"), std::optional<std::string>("True"))
        << "the run's own frame";
    EXPECT_FALSE(scene.frame(72 * kSecond, {parked}));
    EXPECT_FALSE(attribute(*parked, "Dumped Object"));
    EXPECT_FALSE(attribute(*parked, "Stationary time"));
    EXPECT_EQ(attribute(*parked, "colour"), std::optional<std::string>("red")) << "other attributes stay";
}

TEST(ReferenceRun, ItsFrameRaisesNoEventAndOverlappingCarsAreRecordedOnce) {
    Scene scene;
    const auto first = car({0.1f, 0.1f, 0.2f, 0.2f}, 1);
    const auto overlapping = car({0.105f, 0.1f, 0.2f, 0.2f}, 2);  // IoU about 0.95 with the first
    const auto touching = car({0.2f, 0.1f, 0.2f, 0.2f}, 3);       // IoU 0.33 with the first
    scene.frame(0, {first});
    scene.processor.addReferenceRun("other-device", kStage);
    scene.processor.addReferenceRun(kDevice, "other-stage");
    scene.processor.addReferenceRun(kDevice, kStage);
    EXPECT_FALSE(scene.frame(100 * kSecond, {first, overlapping, touching}));
    const auto known = scene.processor.dumpingKnownBoxes(kDevice);
    ASSERT_EQ(known.size(), 2u);
    EXPECT_FLOAT_EQ(known[0].x, 0.1f);
    EXPECT_FLOAT_EQ(known[1].x, 0.2f);
    EXPECT_TRUE(scene.processor.dumpingKnownBoxes("other-device").empty());

    // The request is used up; a second reference run adds to the first.
    EXPECT_FALSE(scene.frame(101 * kSecond, {first}));
    scene.processor.addReferenceRun(kDevice, kStage);
    scene.frame(102 * kSecond, {car({0.6f, 0.6f, 0.2f, 0.2f}, 5)});
    EXPECT_EQ(scene.processor.dumpingKnownBoxes(kDevice).size(), 3u);
}

// ---- through the whole pass ----

TEST(DumpingInThePass, TrackedObjectKeepsItsAttributesAndRaisesTheEvent) {
    PostProcessor processor("/nonexistent-working-directory");
    DumpingStage fixture;
    fixture.stage.dumpingSettings->timeThresholdUs = 3 * kSecond;
    const std::vector<BoxRow> rows = {pixelRow(0.2f, 0.2f, 0.3f, 0.3f, 0.9f, 1),
                                      pixelRow(0.6f, 0.6f, 0.2f, 0.2f, 0.9f, 0)};
    bool raised = false;
    vekai::PostprocessingOutput_t output;
    for (int64_t t = 0; t <= 5 * kSecond; t += 200000) {
        InferenceOutput_t result = fixture.result(t, boxesSet(rows));
        output = processor.process(result);
        for (const EventPtr& event : output.events) {
            if (std::string(event->typeId()) == "vek.vekai.dumping") {
                EXPECT_GE(t, 3 * kSecond);
                raised = true;
            }
        }
    }
    EXPECT_TRUE(raised);
    ASSERT_EQ(output.objects["car"].size(), 1u);
    const VekAIObject_t& reported = *output.objects["car"].front();
    EXPECT_EQ(attribute(reported, "Dumped Object"), std::optional<std::string>("True"));
    ASSERT_TRUE(attribute(reported, "Stationary time"));
    EXPECT_EQ(*attribute(reported, "Stationary time"), "4 s");
    EXPECT_TRUE(output.objects["person"].front()->attributes.empty()) << "only the watched class";

    // The track itself carries the attributes, so the host's object metadata shows them.
    const auto tracks = processor.tracker().tracksOf(kDevice, "car");
    ASSERT_EQ(tracks.size(), 1u);
    EXPECT_EQ(attribute(tracks.front(), "Dumped Object"), std::optional<std::string>("True"));
    const auto metadata = PostProcessor::createObjectMetadata(reported);
    EXPECT_EQ(metadata->attributeCount(), 2);
}

}  // namespace
