// Sampling geometry shared by both conversion roads, and the row routines of the direct road: the
// scalar reference and its AVX2 twin, which must write the same bytes and the same floats.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "corvane/vekai_video_frame.h"

namespace vekai {

// Full-range BT.601: no offset on Y, no range expansion.
inline constexpr float kRedFromV = 1.402f;
inline constexpr float kGreenFromV = -0.714136f;
inline constexpr float kGreenFromU = -0.344136f;
inline constexpr float kBlueFromU = 1.772f;

// The part of the source a crop box selects; never empty.
struct CropRegion {
    int32_t x = 0;
    int32_t y = 0;
    int32_t width = 1;
    int32_t height = 1;
};

// Size and offset of the scaled crop inside the target; negative offsets cut the overflow off.
struct Placement {
    int32_t scaledWidth = 0;
    int32_t scaledHeight = 0;
    int32_t left = 0;
    int32_t top = 0;
};

// Nearest-neighbour mapping of target pixels onto a source of at least one pixel.
struct SamplingGeometry {
    CropRegion crop;
    Placement placement;
    // Source column per target column, -1 for padding.
    std::vector<int32_t> columnMap;
    float rowScale = 0;

    // Source row of a target row, -1 for padding.
    int32_t sourceRow(int32_t row) const;
};

CropRegion cropRegion(int32_t sourceWidth, int32_t sourceHeight, const CropBox& crop);
Placement placement(int32_t targetWidth, int32_t targetHeight, const CropRegion& crop, ResizingMethod method);
SamplingGeometry samplingGeometry(int32_t sourceWidth, int32_t sourceHeight, int32_t targetWidth,
                                  int32_t targetHeight, const CropBox& crop, ResizingMethod method);

// Where the AVX2 routines find the samples of one block of 8 output columns in one plane row: 16-byte
// loads inside the row, each shuffled into the output lanes it serves (kUnused lanes take nothing).
struct SampleWindows {
    // Chroma samples lie half as far apart; more than two loads for them would need more than four
    // for luma, which is gathered anyway.
    static constexpr int kMaxLumaWindows = 4;
    static constexpr int kMaxChromaWindows = 2;
    static constexpr uint8_t kUnused = 0x80;

    int32_t starts[kMaxLumaWindows] = {};
    alignas(16) uint8_t shuffles[kMaxLumaWindows][16] = {};
};

struct BlockWindows {
    SampleWindows luma;
    SampleWindows chroma;
};

// The YUV planes of a host frame and the sampling of one direct call; the V plane keeps its own line
// size, which hosts give equal to the U plane's.
struct FrameSampling {
    const uint8_t* planeY = nullptr;
    const uint8_t* planeU = nullptr;
    const uint8_t* planeV = nullptr;
    ptrdiff_t lineSizeY = 0;
    ptrdiff_t lineSizeU = 0;
    ptrdiff_t lineSizeV = 0;
    int32_t frameWidth = 0;
    int32_t frameHeight = 0;
    SamplingGeometry geometry;
    int32_t outputWidth = 0;
    int32_t outputHeight = 0;
    // Loads per block and plane, the same for every block of a call, and one entry per full block of
    // 8 output columns; filled by planBlockWindows. 0 loads: the AVX2 routines gather the samples.
    int32_t lumaWindows = 0;
    int32_t chromaWindows = 0;
    std::vector<BlockWindows> blockWindows;

    // Whether 4-byte gathers around any sample stay inside the planes (see the AVX2 routines).
    bool gathersInsidePlanes() const;
    // Plans the loads of every full block from the column map, which holds for every row; leaves
    // gathering when the samples of a block lie too far apart or a plane is narrower than a load.
    void planBlockWindows();
};

struct DirectPreprocessParams : FrameSampling {
    float scaleR = 1;
    float offsetR = 0;
    float scaleG = 1;
    float offsetG = 0;
    float scaleB = 1;
    float offsetB = 0;
    float paddingR = 0;
    float paddingG = 0;
    float paddingB = 0;
    float* output = nullptr;
    size_t planeSize = 0;
    bool planar = true;
};

// Byte output is always interleaved and unnormalised; padding is 0.
struct DirectPreprocessUint8Params : FrameSampling {
    uint8_t* output = nullptr;
};

// Whole rows of the output.
void directPreprocess_scalar(const DirectPreprocessParams& params, int32_t row);
void directPreprocess_avx2(const DirectPreprocessParams& params, int32_t row);
void directPreprocessUint8_scalar(const DirectPreprocessUint8Params& params, int32_t row);
void directPreprocess_avx2_uint8(const DirectPreprocessUint8Params& params, int32_t row);

// Pieces of rows, with which the AVX2 twins pad rows and finish the columns after their last block.
void directPreprocessColumns_scalar(const DirectPreprocessParams& params, int32_t row, int32_t sourceRow,
                                    int32_t begin, int32_t end);
void directPreprocessUint8Columns_scalar(const DirectPreprocessUint8Params& params, int32_t row,
                                         int32_t sourceRow, int32_t begin, int32_t end);
void directPreprocessPaddingRow(const DirectPreprocessParams& params, int32_t row);
void directPreprocessUint8PaddingRow(const DirectPreprocessUint8Params& params, int32_t row);

}  // namespace vekai
