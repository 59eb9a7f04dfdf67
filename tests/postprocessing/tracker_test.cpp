#include <gtest/gtest.h>

#include <set>

#include "corvane/vekai_tracker.h"
#include "postprocessing_test_support.h"

namespace {

using vek::sdk::analytics::Rect;
using vekai::Detection;
using vekai::DetectionsByClass;
using vekai::ObjectsByClass;
using vekai::ObjectTracker;

constexpr int64_t kMs = 1000;
const Rect kBox{0.1f, 0.1f, 0.2f, 0.2f};

ObjectsByClass track(ObjectTracker& tracker, int64_t nowUs, const DetectionsByClass& detections,
                     const std::string& device = "device-a") {
    VekAITimer timer("test");
    return tracker.update(device, nowUs, detections, timer);
}

size_t reportedCount(const ObjectsByClass& reported, const std::string& className) {
    const auto found = reported.find(className);
    return found == reported.end() ? 0 : found->second.size();
}

struct SightingCase {
    const char* label;
    std::vector<int64_t> sightingsMs;  // the same box at each time
    std::vector<bool> reported;        // whether each sighting reports the track
};

class TrackReporting : public testing::TestWithParam<SightingCase> {};

TEST_P(TrackReporting, FollowsAgeAndGapRules) {
    const SightingCase& c = GetParam();
    ObjectTracker tracker;
    for (size_t i = 0; i < c.sightingsMs.size(); ++i) {
        const auto reported = track(tracker, c.sightingsMs[i] * kMs, {{"person", {{kBox, 0.9f}}}});
        EXPECT_EQ(reportedCount(reported, "person"), c.reported[i] ? 1u : 0u)
            << c.label << ", sighting at " << c.sightingsMs[i] << " ms";
    }
    EXPECT_EQ(tracker.tracksOf("device-a", "person").size(), 1u) << c.label << ": one track throughout";
}

INSTANTIATE_TEST_SUITE_P(
    Timing, TrackReporting,
    testing::Values(
        // The previous sighting must lie more than 100 ms after creation: at 120 ms it was 80 ms after.
        SightingCase{"every 40 ms", {0, 40, 80, 120, 160, 200}, {false, false, false, false, true, true}},
        // Exactly 100 ms is not older than 100 ms.
        SightingCase{"at 100 ms", {0, 100, 200, 300}, {false, false, false, true}},
        SightingCase{"at 101 ms", {0, 101, 202}, {false, false, true}},
        // A gap of 600 ms updates the track without reporting it; the next sighting reports it again.
        SightingCase{"gap of 600 ms", {0, 200, 400, 1000, 1100}, {false, false, true, false, true}},
        // Exactly 500 ms is not more recent than 500 ms.
        SightingCase{"gap of 500 ms", {0, 200, 700, 800}, {false, false, false, true}},
        SightingCase{"gap of 499 ms", {0, 200, 699}, {false, false, true}},
        // A track last seen exactly 1 s ago is still matched.
        SightingCase{"gap of 1 s", {0, 200, 1200, 1300}, {false, false, false, true}}),
    CaseName());

TEST(Tracker, StopsMatchingATrackUnseenForMoreThanOneSecond) {
    ObjectTracker tracker;
    track(tracker, 0, {{"person", {{kBox, 0.9f}}}});
    track(tracker, 200 * kMs, {{"person", {{kBox, 0.9f}}}});
    const auto reported = track(tracker, 1200 * kMs + 1, {{"person", {{kBox, 0.9f}}}});
    EXPECT_TRUE(reported.empty());
    const auto tracks = tracker.tracksOf("device-a", "person");
    ASSERT_EQ(tracks.size(), 2u) << "the stale track stays and a new one starts";
    EXPECT_EQ(tracks[0].lastSeenUs, 200 * kMs);
    EXPECT_EQ(tracks[1].firstSeenUs, 1200 * kMs + 1);
    EXPECT_NE(tracks[0].trackId, tracks[1].trackId);
}

TEST(Tracker, ALateResultDoesNotMoveTheLastSightingBack) {
    ObjectTracker tracker;
    for (int64_t t : {0, 200, 400})
        track(tracker, t * kMs, {{"person", {{kBox, 0.9f}}}});
    const auto late = track(tracker, 100 * kMs, {{"person", {{kBox, 0.8f}}}});
    EXPECT_EQ(reportedCount(late, "person"), 1u);
    EXPECT_EQ(tracker.tracksOf("device-a", "person")[0].lastSeenUs, 400 * kMs);
    // 1.3 s is within a second of the sighting at 400 ms, though not of the late one at 100 ms.
    const auto reported = track(tracker, 1300 * kMs, {{"person", {{kBox, 0.9f}}}});
    EXPECT_EQ(tracker.tracksOf("device-a", "person").size(), 1u);
    EXPECT_TRUE(reported.empty()) << "a gap of 900 ms is too long to report";
}

TEST(Tracker, NewTracksStartWithTheirDetectionAndTypeId) {
    ObjectTracker tracker;
    track(tracker, 5 * kMs, {{"person", {{kBox, 0.9f}}}, {"traffic light", {{kBox, 0.4f}}}});
    const auto people = tracker.tracksOf("device-a", "person");
    ASSERT_EQ(people.size(), 1u);
    EXPECT_EQ(people[0].typeId, "vek.base.Person");
    EXPECT_EQ(people[0].firstSeenUs, 5 * kMs);
    EXPECT_EQ(people[0].lastSeenUs, 5 * kMs);
    EXPECT_EQ(people[0].boundingBox.x, kBox.x);
    EXPECT_EQ(people[0].confidence, 0.0f);
    EXPECT_TRUE(people[0].attributes.empty());
    EXPECT_FALSE(people[0].skipFeatureExtraction);
    EXPECT_FALSE(people[0].trackId.isNull());
    const auto lights = tracker.tracksOf("device-a", "traffic light");
    ASSERT_EQ(lights.size(), 1u);
    EXPECT_EQ(lights[0].typeId, "vek.vekai.traffic_light");
}

TEST(Tracker, ReportedObjectsCarryTheLatestDetection) {
    ObjectTracker tracker;
    const Rect moved{0.12f, 0.1f, 0.2f, 0.22f};
    track(tracker, 0, {{"car", {{kBox, 0.5f}}}});
    track(tracker, 200 * kMs, {{"car", {{kBox, 0.6f}}}});
    const auto reported = track(tracker, 400 * kMs, {{"car", {{moved, 0.7f}}}});
    ASSERT_EQ(reportedCount(reported, "car"), 1u);
    const VekAIObject_t& object = *reported.at("car")[0];
    EXPECT_EQ(object.confidence, 0.7f);
    EXPECT_EQ(object.boundingBox.x, moved.x);
    EXPECT_EQ(object.boundingBox.height, moved.height);
    EXPECT_EQ(object.firstSeenUs, 0);
    EXPECT_EQ(object.lastSeenUs, 400 * kMs);
    EXPECT_EQ(object.typeId, "vek.base.Car");
    EXPECT_EQ(object.trackId, tracker.tracksOf("device-a", "car")[0].trackId);
}

TEST(Tracker, ReportedObjectsAreSnapshotsThatLaterFramesDoNotChange) {
    ObjectTracker tracker;
    track(tracker, 0, {{"car", {{kBox, 0.5f}}}});
    track(tracker, 200 * kMs, {{"car", {{kBox, 0.6f}}}});
    const auto reported = track(tracker, 400 * kMs, {{"car", {{kBox, 0.7f}}}});
    track(tracker, 600 * kMs, {{"car", {{{0.11f, 0.1f, 0.2f, 0.2f}, 0.8f}}}});
    EXPECT_EQ(reported.at("car")[0]->confidence, 0.7f);
    EXPECT_EQ(reported.at("car")[0]->lastSeenUs, 400 * kMs);
}

TEST(Tracker, TheHigherOverlapWinsATrackAndTheOtherDetectionStartsOne) {
    ObjectTracker tracker;
    track(tracker, 0, {{"person", {{kBox, 0.9f}}}});
    track(tracker, 200 * kMs, {{"person", {{kBox, 0.9f}}}});
    const Rect close{0.11f, 0.1f, 0.2f, 0.2f};  // IoU about 0.9 with the track
    const Rect far{0.2f, 0.1f, 0.2f, 0.2f};     // IoU 1/3
    const auto reported = track(tracker, 400 * kMs, {{"person", {{far, 0.8f}, {close, 0.7f}}}});
    ASSERT_EQ(reportedCount(reported, "person"), 1u);
    EXPECT_EQ(reported.at("person")[0]->boundingBox.x, close.x);
    const auto tracks = tracker.tracksOf("device-a", "person");
    ASSERT_EQ(tracks.size(), 2u);
    EXPECT_EQ(tracks[1].boundingBox.x, far.x);
    EXPECT_EQ(tracks[1].firstSeenUs, 400 * kMs);
}

TEST(Tracker, OverlapIsWeighedByTheTimeSinceATrackWasSeen) {
    ObjectTracker tracker;
    const Rect left{0.1f, 0.1f, 0.2f, 0.2f};
    const Rect right{0.16f, 0.1f, 0.2f, 0.2f};
    track(tracker, 0, {{"person", {{left, 0.9f}, {right, 0.9f}}}});
    // The right track is seen again at 290 ms, the left one is not.
    track(tracker, 290 * kMs, {{"person", {{right, 0.9f}}}});
    const Rect detection{0.11f, 0.1f, 0.2f, 0.2f};  // IoU ~0.9 with left, ~0.6 with right
    track(tracker, 300 * kMs, {{"person", {{detection, 0.9f}}}});
    const auto tracks = tracker.tracksOf("device-a", "person");
    ASSERT_EQ(tracks.size(), 2u) << "the detection joins a track";
    EXPECT_EQ(tracks[0].lastSeenUs, 0) << "0.9 per 300 ms loses against 0.6 per 10 ms";
    EXPECT_EQ(tracks[1].lastSeenUs, 300 * kMs);
    EXPECT_EQ(tracks[1].boundingBox.x, detection.x);
}

TEST(Tracker, AgeHasAFloorOfOneMillisecond) {
    ObjectTracker tracker;
    const Rect left{0.1f, 0.1f, 0.2f, 0.2f};
    const Rect right{0.16f, 0.1f, 0.2f, 0.2f};
    track(tracker, 0, {{"person", {{left, 0.9f}, {right, 0.9f}}}});
    track(tracker, 800, {{"person", {{right, 0.9f}}}});
    // Seen 1 ms and 0.2 ms ago: both count as 1 ms, so the overlap alone decides.
    track(tracker, 1000, {{"person", {{{0.11f, 0.1f, 0.2f, 0.2f}, 0.9f}}}});
    const auto tracks = tracker.tracksOf("device-a", "person");
    ASSERT_EQ(tracks.size(), 2u);
    EXPECT_EQ(tracks[0].lastSeenUs, 1000);
    EXPECT_EQ(tracks[1].lastSeenUs, 800);
}

TEST(Tracker, ClassesAreTrackedApart) {
    ObjectTracker tracker;
    track(tracker, 0, {{"person", {{kBox, 0.9f}}}});
    track(tracker, 200 * kMs, {{"car", {{kBox, 0.9f}}}});
    EXPECT_EQ(tracker.tracksOf("device-a", "person").size(), 1u);
    EXPECT_EQ(tracker.tracksOf("device-a", "car").size(), 1u);
    EXPECT_EQ(tracker.tracksOf("device-a", "person")[0].lastSeenUs, 0);
}

TEST(Tracker, DevicesAreTrackedApart) {
    ObjectTracker tracker;
    for (int64_t t : {0, 200, 400})
        track(tracker, t * kMs, {{"person", {{kBox, 0.9f}}}}, "device-a");
    const auto reported = track(tracker, 400 * kMs, {{"person", {{kBox, 0.9f}}}}, "device-b");
    EXPECT_TRUE(reported.empty()) << "device-b has its own, new track";
    const auto a = tracker.tracksOf("device-a", "person");
    const auto b = tracker.tracksOf("device-b", "person");
    ASSERT_EQ(a.size(), 1u);
    ASSERT_EQ(b.size(), 1u);
    EXPECT_NE(a[0].trackId, b[0].trackId);
    EXPECT_EQ(b[0].firstSeenUs, 400 * kMs);
}

// A grid of boxes that do not overlap each other.
std::vector<Detection> gridBoxes(size_t count, float yOffset) {
    std::vector<Detection> boxes;
    for (size_t i = 0; i < count; ++i) {
        const float x = static_cast<float>(i % 20) * 0.05f;
        const float y = yOffset + static_cast<float>(i / 20) * 0.05f;
        boxes.push_back({{x, y, 0.04f, 0.04f}, 0.9f});
    }
    return boxes;
}

TEST(Tracker, AClassAboveOneHundredTracksKeepsTheSeventyMostRecent) {
    ObjectTracker tracker;
    const auto old = gridBoxes(50, 0.0f);
    const auto recent = gridBoxes(51, 0.5f);
    track(tracker, 0, {{"car", old}});
    track(tracker, 2000 * kMs, {{"car", recent}});
    ASSERT_EQ(tracker.tracksOf("device-a", "car").size(), 101u) << "new tracks are added after trimming";

    // One detection on a recent box: the class is matched, then trimmed.
    track(tracker, 2040 * kMs, {{"car", {recent[0]}}});
    const auto tracks = tracker.tracksOf("device-a", "car");
    ASSERT_EQ(tracks.size(), 70u);
    size_t recentKept = 0;
    for (const auto& t : tracks)
        recentKept += t.lastSeenUs >= 2000 * kMs ? 1 : 0;
    EXPECT_EQ(recentKept, 51u) << "every recent track survives; the rest are the most recent old ones";
    EXPECT_EQ(tracks[0].lastSeenUs, 2040 * kMs) << "most recent first";
}

TEST(Tracker, ExactlyOneHundredTracksAreNotTrimmed) {
    ObjectTracker tracker;
    const auto boxes = gridBoxes(100, 0.0f);
    track(tracker, 0, {{"car", boxes}});
    track(tracker, 40 * kMs, {{"car", {boxes[0]}}});
    EXPECT_EQ(tracker.tracksOf("device-a", "car").size(), 100u);
}

TEST(Tracker, ManyDetectionsAgainstManyTracksBindOneToOne) {
    ObjectTracker tracker;
    const auto boxes = gridBoxes(100, 0.0f);
    std::vector<Detection> shifted = boxes;
    for (auto& d : shifted)
        d.box.x += 0.004f;
    track(tracker, 0, {{"car", boxes}});
    track(tracker, 200 * kMs, {{"car", shifted}});
    const auto reported = track(tracker, 400 * kMs, {{"car", boxes}});
    ASSERT_EQ(reportedCount(reported, "car"), 100u);
    std::set<vek::sdk::Uuid> ids;
    for (const auto& object : reported.at("car"))
        ids.insert(object->trackId);
    EXPECT_EQ(ids.size(), 100u);
    EXPECT_EQ(tracker.tracksOf("device-a", "car").size(), 100u);
}

}  // namespace
