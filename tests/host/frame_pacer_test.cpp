#include <gtest/gtest.h>

#include <vekhost/frame_pacer.h>

namespace vekhost {
namespace {

using std::chrono::microseconds;

struct PaceCase {
    const char* name;
    Pace pace;
    int64_t frameIndex;
    std::optional<double> presentationSeconds;
    std::optional<microseconds> expected;
};

TEST(HostFramePacer, DueOffsets) {
    const PaceCase cases[] = {
        {"fixed rate counts frames", {Pace::Mode::fixedRate, 25}, 50, std::nullopt, microseconds(2'000'000)},
        {"fixed rate ignores file times", {Pace::Mode::fixedRate, 10}, 3, 7.0, microseconds(300'000)},
        {"first frame at once", {Pace::Mode::fixedRate, 30}, 0, std::nullopt, microseconds(0)},
        {"file pace follows presentation", {Pace::Mode::filePace, 25}, 3, 1.5, microseconds(1'500'000)},
        {"file pace without times falls back",
         {Pace::Mode::filePace, 20},
         4,
         std::nullopt,
         microseconds(200'000)},
        {"file pace clamps negative times", {Pace::Mode::filePace, 25}, 1, -0.5, microseconds(0)},
        {"as fast as possible", {Pace::Mode::asFastAsPossible, 25}, 9, 4.0, std::nullopt},
        {"zero rate never waits", {Pace::Mode::fixedRate, 0}, 9, std::nullopt, std::nullopt},
    };
    for (const PaceCase& c : cases)
        EXPECT_EQ(dueOffset(c.pace, c.frameIndex, c.presentationSeconds), c.expected) << c.name;
}

}  // namespace
}  // namespace vekhost
