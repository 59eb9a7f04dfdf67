#include "corvane/raw_postprocessors/raw_argmax.h"

#include <algorithm>
#include <system_error>
#include <thread>
#include <vector>

namespace {

// Proposals handled per pass over the class rows: the running best scores and classes of a tile
// (8 bytes per proposal) stay in the L1 cache while the rows stream past.
constexpr size_t kTileProposals = 1024;
// Class rows folded per pass: the running best is loaded and stored once per pass, while few enough
// rows stream at once for the hardware prefetchers to follow them.
constexpr int32_t kRowsPerPass = 8;

}  // namespace

void argmax_c(const float* scores, size_t rowStride, int32_t rows, int32_t firstClass, float* best,
              int32_t* bestClass, size_t count) {
    for (int32_t r = 0; r < rows; ++r) {
        const float* row = scores + static_cast<size_t>(r) * rowStride;
        for (size_t i = 0; i < count; ++i) {
            if (row[i] > best[i]) {
                best[i] = row[i];
                bestClass[i] = firstClass + r;
            }
        }
    }
}

void argmax_any_avx2(const float* scores, size_t rowStride, int32_t rows, int32_t firstClass, float* best,
                     int32_t* bestClass, size_t count) {
    const size_t vectorCount = count & ~static_cast<size_t>(7);
    if (vectorCount > 0) {
        argmax_avx2(scores, rowStride, rows, firstClass, best, bestClass, vectorCount);
    }
    argmax_c(scores + vectorCount, rowStride, rows, firstClass, best + vectorCount, bestClass + vectorCount,
             count - vectorCount);
}

bool rawRowMayQualify(const float* scores, size_t count, float factor, float threshold) {
    if (!(threshold > 0.0f)) {
        return true;
    }
    int32_t reached = 0;
    for (size_t i = 0; i < count; ++i) {
        reached |= scores[i] * factor >= threshold;
    }
    return reached != 0;
}

bool rawArgmaxCpuHasAvx2() {
    // The compiler's probe also checks that the operating system saves the AVX registers.
    static const bool hasAvx2 = [] {
        __builtin_cpu_init();
        return __builtin_cpu_supports("avx2") != 0;
    }();
    return hasAvx2;
}

RawArgmaxKernel rawArgmaxFastestKernel() {
    return rawArgmaxCpuHasAvx2() ? RawArgmaxKernel::Avx2 : RawArgmaxKernel::Scalar;
}

void rawArgmaxColumns(const float* scores, int32_t classes, size_t rowStride, size_t begin, size_t end,
                      float threshold, RawArgmaxKernel kernel, float* best, int32_t* bestClass) {
    const auto fold = kernel == RawArgmaxKernel::Avx2 ? argmax_any_avx2 : argmax_c;
    for (size_t tile = begin; tile < end; tile += kTileProposals) {
        const size_t count = std::min(kTileProposals, end - tile);
        std::fill_n(best + tile, count, threshold);
        std::fill_n(bestClass + tile, count, -1);
        for (int32_t k = 0; k < classes; k += kRowsPerPass) {
            fold(scores + static_cast<size_t>(k) * rowStride + tile, rowStride,
                 std::min(kRowsPerPass, classes - k), k, best + tile, bestClass + tile, count);
        }
    }
}

void rawArgmaxSplit(const float* scores, int32_t classes, size_t proposals, float threshold, int threads,
                    RawArgmaxKernel kernel, float* best, int32_t* bestClass) {
    const size_t sliceCount = static_cast<size_t>(std::max(threads, 1));
    const size_t slice = (proposals + sliceCount - 1) / sliceCount;
    const auto work = [=](size_t begin) {
        rawArgmaxColumns(scores, classes, proposals, begin, std::min(proposals, begin + slice), threshold,
                         kernel, best, bestClass);
    };
    std::vector<std::jthread> workers;
    workers.reserve(sliceCount - 1);
    for (size_t begin = slice; begin < proposals; begin += slice) {
        try {
            workers.emplace_back(work, begin);
        } catch (const std::system_error&) {
            // No thread to spare: the slice is still done, only later.
            work(begin);
        }
    }
    work(0);
}
