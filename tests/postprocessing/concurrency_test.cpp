#include <gtest/gtest.h>

#include <atomic>
#include <set>
#include <thread>

#include "postprocessing_test_support.h"

namespace {

using vekai::PostProcessor;

// Ten boxes in a row that do not overlap; the same on both devices.
std::vector<BoxRow> rowOfBoxes() {
    std::vector<BoxRow> rows;
    for (int i = 0; i < 10; ++i)
        rows.push_back(pixelRow(0.02f + 0.09f * static_cast<float>(i), 0.4f, 0.07f, 0.2f, 0.9f, i % 2));
    return rows;
}

// Many output threads run passes of two devices at once, as the inference manager does, and read the
// reported objects while later frames of the same device update the tracks. Under the thread
// sanitizer this finds any shared state touched without its lock.
TEST(ConcurrentPasses, KeepDevicesApartAndShareNothingUnguarded) {
    constexpr int kThreads = 8;
    constexpr int kFramesPerThread = 60;
    StageFixture first("device-a");
    StageFixture second("device-b");
    for (StageFixture* fixture : {&first, &second}) {
        fixture->stage.crossingLine = std::array<float, 4>{0, 0.5f, 1, 0.5f};
        fixture->stage.masks.push_back({1, {0.7f, 0, 1, 0, 1, 1, 0.7f, 1}});
    }
    const std::vector<BoxRow> rows = rowOfBoxes();
    PostProcessor processor("/tmp");
    std::atomic<int64_t> frameClock{0};
    std::mutex idsMutex;
    std::set<vek::sdk::Uuid> idsOf[2];
    std::atomic<size_t> reports{0};

    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int f = 0; f < kFramesPerThread; ++f) {
                const int device = (t + f) % 2;
                const StageFixture& fixture = device == 0 ? first : second;
                // Frames 20 ms apart: the whole run spans seconds, and threads finish them out of order.
                InferenceOutput_t result = fixture.result(frameClock.fetch_add(20000), boxesSet(rows));
                result.hasThroughput = f % 10 == 0;
                const auto output = processor.process(result);
                std::set<vek::sdk::Uuid> seen;
                for (const auto& [className, objects] : output.objects) {
                    for (const auto& object : objects) {
                        const auto metadata = PostProcessor::createObjectMetadata(*object);
                        seen.insert(metadata->trackId());
                    }
                }
                for (const auto& event : output.events)
                    EXPECT_NE(event->description(), nullptr);
                reports += seen.size();
                std::lock_guard lock(idsMutex);
                idsOf[device].insert(seen.begin(), seen.end());
            }
        });
    }
    for (auto& thread : threads)
        thread.join();

    EXPECT_GT(reports.load(), 0u);
    for (const StageFixture* fixture : {&first, &second}) {
        size_t tracks = 0;
        for (const char* className : {"person", "car"})
            tracks += processor.tracker().tracksOf(fixture->details->deviceId, className).size();
        EXPECT_EQ(tracks, rows.size()) << fixture->details->deviceId << ": every box keeps one track";
    }
    // The ninth and tenth boxes lie in the excluded strip and are never reported.
    EXPECT_LE(idsOf[0].size(), 8u);
    EXPECT_LE(idsOf[1].size(), 8u);
    for (const auto& id : idsOf[0])
        EXPECT_FALSE(idsOf[1].contains(id)) << "a track id reported for both devices";
}

}  // namespace
