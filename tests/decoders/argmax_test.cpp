#include <gtest/gtest.h>

#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "corvane/raw_postprocessors/raw_argmax.h"
#include "corvane/raw_postprocessors/yolo_anchor_free_postprocessor.h"
#include "decoder_test_support.h"
#include "synthetic_outputs.h"

namespace {

// Scores drawn from a handful of values, so ties, -0.0 against 0.0 and NaN all occur often.
std::vector<float> tieHeavyScores(size_t count, uint32_t seed) {
    const float palette[] = {0.0f,
                             -0.0f,
                             0.25f,
                             0.5f,
                             0.5f,
                             0.75f,
                             1.0f,
                             -1.0f,
                             std::numeric_limits<float>::quiet_NaN(),
                             std::numeric_limits<float>::infinity()};
    std::mt19937 rng(seed);
    std::uniform_int_distribution<size_t> pick(0, std::size(palette) - 1);
    std::vector<float> scores(count);
    for (float& s : scores) {
        s = palette[pick(rng)];
    }
    return scores;
}

bool sameBits(const std::vector<float>& a, const std::vector<float>& b) {
    return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(float)) == 0;
}

TEST(Argmax, Avx2MatchesScalarOnOddWidthsAndOffsets) {
    if (!rawArgmaxCpuHasAvx2()) {
        GTEST_SKIP() << "CPU without AVX2";
    }
    for (size_t width : {1u, 7u, 8u, 9u, 15u, 17u, 31u, 33u, 63u, 65u, 127u, 257u, 1023u}) {
        for (size_t offset : {0u, 1u, 3u}) {
            for (int32_t rows : {1, 3, 5}) {
                const size_t stride = width + offset;
                const std::vector<float> scores =
                    tieHeavyScores(offset + stride * rows, static_cast<uint32_t>(width * 7 + rows));
                std::vector<float> bestC = tieHeavyScores(width, static_cast<uint32_t>(width + offset));
                std::vector<int32_t> classC(width, -1);
                std::vector<float> bestAvx = bestC;
                std::vector<int32_t> classAvx = classC;
                argmax_c(scores.data() + offset, stride, rows, 2, bestC.data(), classC.data(), width);
                argmax_any_avx2(scores.data() + offset, stride, rows, 2, bestAvx.data(), classAvx.data(),
                                width);
                EXPECT_TRUE(sameBits(bestC, bestAvx))
                    << "width " << width << " offset " << offset << " rows " << rows;
                EXPECT_EQ(classC, classAvx) << "width " << width << " offset " << offset << " rows " << rows;
            }
        }
    }
}

TEST(Argmax, ScalarKeepsTheEarlierClassOnTies) {
    // Two class rows of three proposals, one after the other.
    const float scores[] = {0.5f, 0.5f, 0.2f, 0.5f, 0.6f, std::numeric_limits<float>::quiet_NaN()};
    float best[] = {0.25f, 0.25f, 0.25f};
    int32_t bestClass[] = {-1, -1, -1};
    argmax_c(scores, 3, 2, 0, best, bestClass, 3);
    EXPECT_EQ(bestClass[0], 0);
    EXPECT_EQ(bestClass[1], 1);
    EXPECT_EQ(bestClass[2], -1);
    EXPECT_EQ(best[2], 0.25f);
}

struct ArgmaxResult {
    std::vector<float> best;
    std::vector<int32_t> bestClass;
};

ArgmaxResult splitArgmax(const std::vector<float>& scores, int32_t classes, size_t proposals, int threads,
                         RawArgmaxKernel kernel) {
    ArgmaxResult result{std::vector<float>(proposals), std::vector<int32_t>(proposals)};
    rawArgmaxSplit(scores.data(), classes, proposals, 0.3f, threads, kernel, result.best.data(),
                   result.bestClass.data());
    return result;
}

TEST(Argmax, ThreadSplitsAndKernelsAgree) {
    const int32_t classes = 13;
    for (size_t proposals : {1u, 5u, 2047u, 2048u, 3001u, 8401u}) {
        const std::vector<float> scores =
            uniformValues(proposals * classes, 0.0f, 1.0f, static_cast<uint32_t>(proposals));
        const ArgmaxResult expected = splitArgmax(scores, classes, proposals, 1, RawArgmaxKernel::Scalar);
        for (int threads = 1; threads <= 4; ++threads) {
            for (RawArgmaxKernel kernel : {RawArgmaxKernel::Scalar, rawArgmaxFastestKernel()}) {
                const ArgmaxResult actual = splitArgmax(scores, classes, proposals, threads, kernel);
                EXPECT_TRUE(sameBits(actual.best, expected.best))
                    << proposals << " proposals, " << threads << " threads";
                EXPECT_EQ(actual.bestClass, expected.bestClass)
                    << proposals << " proposals, " << threads << " threads";
            }
        }
        // The plain per-proposal definition, independent of tiles and slices.
        for (size_t p = 0; p < proposals; ++p) {
            float best = 0.3f;
            int32_t bestClass = -1;
            for (int32_t k = 0; k < classes; ++k) {
                if (scores[k * proposals + p] > best) {
                    best = scores[k * proposals + p];
                    bestClass = k;
                }
            }
            ASSERT_EQ(expected.bestClass[p], bestClass) << "proposal " << p;
            ASSERT_EQ(expected.best[p], best) << "proposal " << p;
        }
    }
}

TEST(AnchorFreeThreads, OneToFourThreadsAndBothKernelsGiveIdenticalRows) {
    for (int proposals : {8400, 2047, 4099}) {
        const std::vector<float> data = synthetic::anchorFreeOutput(80, proposals, 300, 7);
        TensorsPtr set = makeSet({floatTensor("output0", {1, 84, proposals}, data)});
        const reference::Rows expected =
            decodedRows(decodeAnchorFreeYoloOutput(set.get(), 0.25f, 0.45f).get());
        ASSERT_FALSE(expected.empty());
        for (int threads = 1; threads <= 4; ++threads) {
            for (bool avx2 : {false, true}) {
                SCOPED_TRACE(testing::Message()
                             << proposals << " proposals, " << threads << " threads, avx2 " << avx2);
                const AnchorFreeArgmaxOptions options{threads, avx2};
                expectRowsEqual(
                    decodedRows(decodeAnchorFreeYoloOutput(set.get(), 0.25f, 0.45f, options).get()),
                    expected);
            }
        }
    }
}

}  // namespace
