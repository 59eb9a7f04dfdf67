#include <gtest/gtest.h>

#include <vektest/files.h>
#include <vektest/log_capture.h>
#include <vektest/temp_dir.h>
#include <filesystem>
#include <string>

#include "postprocessing_test_support.h"

namespace {

namespace fs = std::filesystem;
using vekai::PostProcessor;
using vektest::readText;
using vektest::writeText;

constexpr int64_t kSecond = 1000000;

fs::path cacheFile(const vektest::TempDir& dir) {
    return dir.path / "cache" / "dumping_known_bboxes.json";
}

void referenceRun(PostProcessor& processor, const std::string& deviceId, std::vector<BoxRow> rows) {
    StageFixture fixture(deviceId);
    fixture.stage.dumpingSettings = DumpingDetectionSettings_t{true, "car", 60 * kSecond, 0.1, 0.75};
    // The tracker reports a track from its third sighting; the run takes the first pass with objects.
    runFrames(processor, fixture, rows, 3);
    processor.addReferenceRun(deviceId, fixture.stage.stageId);
    runFrames(processor, fixture, rows, 1, 600000);
}

TEST(DumpingCache, ReferenceBoxesSurviveARestart) {
    vektest::TempDir work("vek-dumping");
    {
        PostProcessor processor(work.path.string());
        processor.initialize();
        referenceRun(processor, "device-a", {pixelRow(0.25f, 0.5f, 0.125f, 0.25f, 0.9f, 1)});
        referenceRun(processor, "device-b",
                     {pixelRow(0.5f, 0.5f, 0.25f, 0.25f, 0.9f, 1), pixelRow(0, 0, 0.25f, 0.25f, 0.9f, 1)});
        ASSERT_EQ(processor.dumpingKnownBoxes("device-a").size(), 1u);
        EXPECT_FALSE(fs::exists(cacheFile(work))) << "written when the postprocessor goes";
    }
    EXPECT_EQ(
        readText(cacheFile(work)),
        R"({"device-a":[{"x":0.25,"y":0.5,"width":0.125,"height":0.25}],)"
        R"("device-b":[{"x":0.5,"y":0.5,"width":0.25,"height":0.25},{"x":0.0,"y":0.0,"width":0.25,"height":0.25}]})");

    vektest::LogCapture log;
    PostProcessor restarted(work.path.string());
    restarted.initialize();
    EXPECT_TRUE(log.contains("Loaded dumping known bboxes cache from " + cacheFile(work).string() + "\n"));
    const auto boxes = restarted.dumpingKnownBoxes("device-b");
    ASSERT_EQ(boxes.size(), 2u);
    EXPECT_EQ(boxes[0].x, 0.5f);
    EXPECT_EQ(boxes[1].width, 0.25f);

    // The restored box keeps a car parked on it from ever being reported.
    StageFixture fixture("device-a");
    fixture.stage.dumpingSettings = DumpingDetectionSettings_t{true, "car", 1 * kSecond, 0.1, 0.75};
    bool raised = false;
    for (int64_t t = 0; t < 5 * kSecond; t += 200000) {
        InferenceOutput_t result =
            fixture.result(t, boxesSet({pixelRow(0.25f, 0.5f, 0.125f, 0.25f, 0.9f, 1)}));
        const auto output = restarted.process(result);
        for (const auto& event : output.events)
            raised = raised || std::string(event->typeId()) == "vek.vekai.dumping";
        for (const auto& [name, objects] : output.objects)
            EXPECT_TRUE(objects.front()->attributes.empty());
    }
    EXPECT_FALSE(raised);
}

TEST(DumpingCache, NoBoxesLeaveAnExistingFileUntouched) {
    vektest::TempDir work("vek-dumping");
    writeText(cacheFile(work), "not json, but someone's");
    {
        PostProcessor processor(work.path.string());
        processor.initialize();
    }
    EXPECT_EQ(readText(cacheFile(work)), "not json, but someone's");
}

struct MalformedCase {
    const char* label;
    const char* content;
    const char* logLine;  // null: nothing logged at the basic level
    // Per device, how many boxes were loaded; devices not listed have no entry.
    std::map<std::string, size_t> loaded;
};

class MalformedCache : public testing::TestWithParam<MalformedCase> {};

TEST_P(MalformedCache, IsRefusedOrSkippedWithoutHarm) {
    const MalformedCase& c = GetParam();
    vektest::TempDir work("vek-dumping");
    writeText(cacheFile(work), c.content);
    vektest::LogCapture log;
    PostProcessor processor(work.path.string());
    processor.initialize();
    if (c.logLine != nullptr) {
        EXPECT_TRUE(log.contains(std::string(c.logLine))) << log.text();
        EXPECT_FALSE(log.contains("Loaded dumping known bboxes cache"));
    } else {
        EXPECT_FALSE(log.contains("Warning")) << log.text();
    }
    for (const char* device : {"a", "b", "c"}) {
        const auto found = c.loaded.find(device);
        EXPECT_EQ(processor.dumpingKnownBoxes(device).size(), found == c.loaded.end() ? 0u : found->second)
            << device;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Files, MalformedCache,
    testing::Values(
        MalformedCase{
            "not JSON", "{\"a\":[{\"x\":1", "Warning: Failed to parse dumping known bboxes cache", {}},
        MalformedCase{"empty file", "", "Warning: Failed to parse dumping known bboxes cache", {}},
        MalformedCase{"root is an array",
                      R"([{"x":0,"y":0,"width":1,"height":1}])",
                      "Warning: Dumping known bboxes cache has unexpected format\n",
                      {}},
        MalformedCase{"box without height", R"({"a":[{"x":0.1,"y":0.2,"width":0.3}]})", nullptr, {}},
        MalformedCase{"odd elements and members are skipped",
                      R"({"a":[{},[1,2],3,{"x":"left","y":0.5,"width":1,"height":true}],"b":{"x":1},"c":[]})",
                      nullptr,
                      {{"a", 1}}},
        MalformedCase{
            "integers and reals", R"({"b":[{"x":0,"y":1,"width":0.5,"height":2e-1}]})", nullptr, {{"b", 1}}}),
    CaseName());

TEST(DumpingCache, MalformedBoxIsReadAsZeroForWrongTypes) {
    vektest::TempDir work("vek-dumping");
    writeText(cacheFile(work), R"({"a":[{"x":"left","y":0.5,"width":1,"height":true}]})");
    PostProcessor processor(work.path.string());
    processor.initialize();
    const auto boxes = processor.dumpingKnownBoxes("a");
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].x, 0.0f);
    EXPECT_EQ(boxes[0].y, 0.5f);
    EXPECT_EQ(boxes[0].width, 1.0f);
    EXPECT_EQ(boxes[0].height, 0.0f);
}

TEST(DumpingCache, ABoxBeyondFloatRangeIsSkippedSoThatLaterSavesStillWrite) {
    vektest::TempDir work("vek-dumping");
    writeText(
        cacheFile(work),
        R"({"a":[{"x":1e300,"y":0,"width":1,"height":1},{"x":0.25,"y":0.5,"width":0.125,"height":0.5}]})");
    vektest::LogCapture log;
    {
        PostProcessor processor(work.path.string());
        processor.initialize();
        const auto boxes = processor.dumpingKnownBoxes("a");
        ASSERT_EQ(boxes.size(), 1u);
        EXPECT_EQ(boxes[0].x, 0.25f);
    }
    EXPECT_TRUE(log.contains("Warning: Skipping a dumping known bbox out of range")) << log.text();
    EXPECT_FALSE(log.contains("Failed to serialize")) << log.text();
    EXPECT_EQ(readText(cacheFile(work)), R"({"a":[{"x":0.25,"y":0.5,"width":0.125,"height":0.5}]})");
}

TEST(DumpingCache, UnwritableCacheDirectoryIsLoggedAndNothingElseBreaks) {
    vektest::TempDir work("vek-dumping");
    writeText(work.path / "cache", "a file where the folder should be");
    vektest::LogCapture log;
    {
        PostProcessor processor(work.path.string());
        processor.initialize();
        referenceRun(processor, "a", {pixelRow(0.25f, 0.5f, 0.125f, 0.25f, 0.9f, 1)});
        ASSERT_EQ(processor.dumpingKnownBoxes("a").size(), 1u);
    }
    EXPECT_TRUE(
        log.contains("Warning: Failed to create cache directory " + (work.path / "cache").string() + ": "))
        << log.text();
    EXPECT_EQ(readText(work.path / "cache"), "a file where the folder should be");
}

}  // namespace
