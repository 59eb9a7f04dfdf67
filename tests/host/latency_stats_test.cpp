#include <gtest/gtest.h>
#include <vekhost/latency_stats.h>

#include <cstdlib>

using vekhost::LatencyStats;

TEST(LatencyStats, BelowTheBoundPercentilesAreExactNearestRanks) {
    LatencyStats stats(1000);
    EXPECT_EQ(stats.summary().samples, 0u);
    EXPECT_EQ(stats.summary().p99Us, 0);
    // Added out of order: 1..100.
    for (int64_t value = 100; value >= 1; --value)
        stats.add(value);
    const auto summary = stats.summary();
    EXPECT_EQ(summary.samples, 100u);
    EXPECT_EQ(summary.keptSamples, 100u);
    EXPECT_EQ(summary.p50Us, 50);
    EXPECT_EQ(summary.p90Us, 90);
    EXPECT_EQ(summary.p99Us, 99);
    EXPECT_EQ(summary.maxUs, 100);
}

TEST(LatencyStats, ALongRunKeepsABoundedSampleWhosePercentilesStayClose) {
    // Delays grow through the run: a sample biased to its start or its end is far off.
    LatencyStats stats(2000);
    constexpr int64_t kCount = 200000;
    for (int64_t i = 0; i < kCount; ++i)
        stats.add(i);
    const auto summary = stats.summary();
    EXPECT_EQ(summary.samples, static_cast<size_t>(kCount));
    EXPECT_EQ(summary.keptSamples, 2000u);
    EXPECT_EQ(summary.maxUs, kCount - 1);
    // Exact: p50 99999, p90 179999, p99 197999; the bounds are about five standard errors.
    EXPECT_LT(std::llabs(summary.p50Us - 99999), 8000) << summary.p50Us;
    EXPECT_LT(std::llabs(summary.p90Us - 179999), 6000) << summary.p90Us;
    EXPECT_LT(std::llabs(summary.p99Us - 197999), 2500) << summary.p99Us;
}
