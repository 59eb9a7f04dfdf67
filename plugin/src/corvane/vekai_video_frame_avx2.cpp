// AVX2 twins of the direct road's row routines: 8 output columns per step, the columns after the last
// full block by the scalar routine. Only these functions use AVX2, so the build needs no -mavx2.
#include <immintrin.h>

#include <array>
#include <utility>

#include "corvane/vekai_video_frame_rows.h"

#define VEKAI_TARGET_AVX2 __attribute__((target("avx2")))

namespace vekai {

namespace {

struct SampleBlock {
    __m256 y;
    __m256 u;
    __m256 v;
};

// Samples a block with the loads planned for it, the same number for every block of the call, so
// that the loops have no branch per load.
template <int LumaWindows, int ChromaWindows>
struct WindowSampler {
    static WindowSampler forRow(const FrameSampling& sampling, int32_t sourceRow) {
        const int32_t chromaRow = sourceRow / 2;
        return {sampling.planeY + sourceRow * sampling.lineSizeY,
                sampling.planeU + chromaRow * sampling.lineSizeU,
                sampling.planeV + chromaRow * sampling.lineSizeV, sampling.blockWindows.data()};
    }

    template <int Windows>
    VEKAI_TARGET_AVX2 static __m256 samples(const uint8_t* row, const SampleWindows& plan) {
        __m128i bytes = _mm_setzero_si128();
        for (int k = 0; k < Windows; ++k) {
            const __m128i loaded = _mm_loadu_si128(reinterpret_cast<const __m128i*>(row + plan.starts[k]));
            const __m128i shuffle = _mm_load_si128(reinterpret_cast<const __m128i*>(plan.shuffles[k]));
            bytes = _mm_or_si128(bytes, _mm_shuffle_epi8(loaded, shuffle));
        }
        return _mm256_cvtepi32_ps(_mm256_cvtepu8_epi32(bytes));
    }

    VEKAI_TARGET_AVX2 SampleBlock operator()(int32_t block, __m256i) const {
        const BlockWindows& plan = blocks[block];
        return {samples<LumaWindows>(y, plan.luma), samples<ChromaWindows>(u, plan.chroma),
                samples<ChromaWindows>(v, plan.chroma)};
    }

    const uint8_t* y;
    const uint8_t* u;
    const uint8_t* v;
    const BlockWindows* blocks;
};

// Samples a block by gathering 4 bytes per sample. From a plane's second row on, the 3 bytes before a
// sample lie inside the plane; in its first row the 3 bytes after it do, because a second row follows.
// Either way the wanted byte is then shifted down to the low end of its 32-bit lane. Padding columns
// (-1) sample column 0, which the caller overwrites.
struct GatherSampler {
    static GatherSampler forRow(const FrameSampling& sampling, int32_t sourceRow) {
        const int32_t chromaRow = sourceRow / 2;
        const ptrdiff_t lumaBack = sourceRow > 0 ? 3 : 0;
        const ptrdiff_t chromaBack = chromaRow > 0 ? 3 : 0;
        return {sampling.planeY + sourceRow * sampling.lineSizeY - lumaBack,
                sampling.planeU + chromaRow * sampling.lineSizeU - chromaBack,
                sampling.planeV + chromaRow * sampling.lineSizeV - chromaBack,
                _mm_cvtsi32_si128(static_cast<int>(lumaBack * 8)),
                _mm_cvtsi32_si128(static_cast<int>(chromaBack * 8))};
    }

    VEKAI_TARGET_AVX2 static __m256 samples(const uint8_t* base, __m256i columns, __m128i shift) {
        const __m256i words = _mm256_i32gather_epi32(reinterpret_cast<const int*>(base), columns, 1);
        return _mm256_cvtepi32_ps(_mm256_and_si256(_mm256_srl_epi32(words, shift), _mm256_set1_epi32(0xFF)));
    }

    VEKAI_TARGET_AVX2 SampleBlock operator()(int32_t, __m256i columns) const {
        const __m256i luma = _mm256_max_epi32(columns, _mm256_setzero_si256());
        const __m256i chroma = _mm256_srli_epi32(luma, 1);
        return {samples(y, luma, lumaShift), samples(u, chroma, chromaShift),
                samples(v, chroma, chromaShift)};
    }

    const uint8_t* y;
    const uint8_t* u;
    const uint8_t* v;
    __m128i lumaShift;
    __m128i chromaShift;
};

struct RgbBlock {
    __m256 r;
    __m256 g;
    __m256 b;
};

VEKAI_TARGET_AVX2 inline __m256 clampChannel(__m256 value) {
    return _mm256_max_ps(_mm256_min_ps(value, _mm256_set1_ps(255.0f)), _mm256_setzero_ps());
}

// Multiplies and adds stay separate and in the scalar order, so every value equals the scalar one bit
// for bit. The channels are not clamped yet: bytes get that from saturating packs.
VEKAI_TARGET_AVX2 inline RgbBlock toRgb(const SampleBlock& samples) {
    const __m256 half = _mm256_set1_ps(128.0f);
    const __m256 u = _mm256_sub_ps(samples.u, half);
    const __m256 v = _mm256_sub_ps(samples.v, half);
    return {_mm256_add_ps(_mm256_mul_ps(v, _mm256_set1_ps(kRedFromV)), samples.y),
            _mm256_add_ps(_mm256_mul_ps(v, _mm256_set1_ps(kGreenFromV)),
                          _mm256_add_ps(_mm256_mul_ps(u, _mm256_set1_ps(kGreenFromU)), samples.y)),
            _mm256_add_ps(_mm256_mul_ps(u, _mm256_set1_ps(kBlueFromU)), samples.y)};
}

// 8 pixels of three planes into 24 interleaved floats: one lane permutation per channel, then blends.
VEKAI_TARGET_AVX2 inline void storeInterleaved(float* output, __m256 r, __m256 g, __m256 b) {
    const __m256 rs = _mm256_permutevar8x32_ps(r, _mm256_setr_epi32(0, 3, 6, 1, 4, 7, 2, 5));
    const __m256 gs = _mm256_permutevar8x32_ps(g, _mm256_setr_epi32(5, 0, 3, 6, 1, 4, 7, 2));
    const __m256 bs = _mm256_permutevar8x32_ps(b, _mm256_setr_epi32(2, 5, 0, 3, 6, 1, 4, 7));
    _mm256_storeu_ps(output, _mm256_blend_ps(_mm256_blend_ps(rs, gs, 0x92), bs, 0x24));
    _mm256_storeu_ps(output + 8, _mm256_blend_ps(_mm256_blend_ps(rs, gs, 0x24), bs, 0x49));
    _mm256_storeu_ps(output + 16, _mm256_blend_ps(_mm256_blend_ps(rs, gs, 0x49), bs, 0x92));
}

VEKAI_TARGET_AVX2 inline __m256i loadColumns(const int32_t* columnMap, int32_t x) {
    return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(columnMap + x));
}

int32_t fullBlockEnd(int32_t width) {
    return width - width % 8;
}

template <class Sampler>
VEKAI_TARGET_AVX2 void floatRow(const DirectPreprocessParams& params, int32_t row, int32_t sourceRow) {
    const Sampler sample = Sampler::forRow(params, sourceRow);
    const __m256 scaleR = _mm256_set1_ps(params.scaleR);
    const __m256 scaleG = _mm256_set1_ps(params.scaleG);
    const __m256 scaleB = _mm256_set1_ps(params.scaleB);
    const __m256 offsetR = _mm256_set1_ps(params.offsetR);
    const __m256 offsetG = _mm256_set1_ps(params.offsetG);
    const __m256 offsetB = _mm256_set1_ps(params.offsetB);
    const __m256 paddingR = _mm256_set1_ps(params.paddingR);
    const __m256 paddingG = _mm256_set1_ps(params.paddingG);
    const __m256 paddingB = _mm256_set1_ps(params.paddingB);
    const size_t rowStart = static_cast<size_t>(row) * static_cast<size_t>(params.outputWidth);
    float* planeR = params.output + rowStart;
    float* planeG = planeR + params.planeSize;
    float* planeB = planeG + params.planeSize;
    float* interleaved = params.output + 3 * rowStart;
    const int32_t* columnMap = params.geometry.columnMap.data();
    const int32_t blockEnd = fullBlockEnd(params.outputWidth);
    for (int32_t x = 0; x < blockEnd; x += 8) {
        const __m256i columns = loadColumns(columnMap, x);
        const __m256 padding = _mm256_castsi256_ps(_mm256_cmpgt_epi32(_mm256_setzero_si256(), columns));
        const int paddingLanes = _mm256_movemask_ps(padding);
        __m256 r = paddingR;
        __m256 g = paddingG;
        __m256 b = paddingB;
        if (paddingLanes != 0xFF) {
            const RgbBlock rgb = toRgb(sample(x / 8, columns));
            r = _mm256_add_ps(_mm256_mul_ps(clampChannel(rgb.r), scaleR), offsetR);
            g = _mm256_add_ps(_mm256_mul_ps(clampChannel(rgb.g), scaleG), offsetG);
            b = _mm256_add_ps(_mm256_mul_ps(clampChannel(rgb.b), scaleB), offsetB);
            if (paddingLanes != 0) {
                r = _mm256_blendv_ps(r, paddingR, padding);
                g = _mm256_blendv_ps(g, paddingG, padding);
                b = _mm256_blendv_ps(b, paddingB, padding);
            }
        }
        if (params.planar) {
            _mm256_storeu_ps(planeR + x, r);
            _mm256_storeu_ps(planeG + x, g);
            _mm256_storeu_ps(planeB + x, b);
        } else {
            storeInterleaved(interleaved + 3 * static_cast<size_t>(x), r, g, b);
        }
    }
    directPreprocessColumns_scalar(params, row, sourceRow, blockEnd, params.outputWidth);
}

template <class Sampler>
VEKAI_TARGET_AVX2 void byteRow(const DirectPreprocessUint8Params& params, int32_t row, int32_t sourceRow) {
    const Sampler sample = Sampler::forRow(params, sourceRow);
    // After the packs each 128-bit lane holds r0-3 g0-3 b0-3 of its four pixels; interleave them, then
    // join the two 12-byte halves.
    const __m256i interleave = _mm256_setr_epi8(0, 4, 8, 1, 5, 9, 2, 6, 10, 3, 7, 11, -1, -1, -1, -1,  //
                                                0, 4, 8, 1, 5, 9, 2, 6, 10, 3, 7, 11, -1, -1, -1, -1);
    const __m256i joinHalves = _mm256_setr_epi32(0, 1, 2, 4, 5, 6, 3, 7);
    uint8_t* out = params.output + 3 * static_cast<size_t>(row) * static_cast<size_t>(params.outputWidth);
    const int32_t* columnMap = params.geometry.columnMap.data();
    const int32_t blockEnd = fullBlockEnd(params.outputWidth);
    for (int32_t x = 0; x < blockEnd; x += 8) {
        const __m256i columns = loadColumns(columnMap, x);
        const __m256i padding = _mm256_cmpgt_epi32(_mm256_setzero_si256(), columns);
        const int paddingLanes = _mm256_movemask_ps(_mm256_castsi256_ps(padding));
        __m256i bytes = _mm256_setzero_si256();
        if (paddingLanes != 0xFF) {
            // Truncation, then saturation to 0..255 in the packs, is truncation of the clamped value:
            // the channels stay far below the 32767 where the signed 16-bit pack would misread them.
            const RgbBlock rgb = toRgb(sample(x / 8, columns));
            const __m256i rg = _mm256_packus_epi32(_mm256_cvttps_epi32(rgb.r), _mm256_cvttps_epi32(rgb.g));
            const __m256i b = _mm256_packus_epi32(_mm256_cvttps_epi32(rgb.b), _mm256_setzero_si256());
            bytes = _mm256_packus_epi16(rg, b);
            if (paddingLanes != 0) {
                const __m256i padding16 = _mm256_packs_epi32(padding, padding);
                bytes = _mm256_andnot_si256(_mm256_packs_epi16(padding16, padding16), bytes);
            }
        }
        const __m256i packed =
            _mm256_permutevar8x32_epi32(_mm256_shuffle_epi8(bytes, interleave), joinHalves);
        uint8_t* pixels = out + 3 * static_cast<size_t>(x);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(pixels), _mm256_castsi256_si128(packed));
        _mm_storel_epi64(reinterpret_cast<__m128i*>(pixels + 16), _mm256_extracti128_si256(packed, 1));
    }
    directPreprocessUint8Columns_scalar(params, row, sourceRow, blockEnd, params.outputWidth);
}

using FloatRow = void (*)(const DirectPreprocessParams&, int32_t, int32_t);
using ByteRow = void (*)(const DirectPreprocessUint8Params&, int32_t, int32_t);

constexpr size_t kLumaCounts = SampleWindows::kMaxLumaWindows;
constexpr size_t kChromaCounts = SampleWindows::kMaxChromaWindows;
constexpr size_t kPlans = kLumaCounts * kChromaCounts;

template <size_t... Index>
constexpr std::array<FloatRow, sizeof...(Index)> windowedFloatRows(std::index_sequence<Index...>) {
    return {&floatRow<WindowSampler<Index / kChromaCounts + 1, Index % kChromaCounts + 1>>...};
}

template <size_t... Index>
constexpr std::array<ByteRow, sizeof...(Index)> windowedByteRows(std::index_sequence<Index...>) {
    return {&byteRow<WindowSampler<Index / kChromaCounts + 1, Index % kChromaCounts + 1>>...};
}

constexpr auto kWindowedFloatRows = windowedFloatRows(std::make_index_sequence<kPlans>());
constexpr auto kWindowedByteRows = windowedByteRows(std::make_index_sequence<kPlans>());

// The routine for the call's plan; null when the row must be done by the scalar routine.
template <class Row, size_t Count>
Row rowFor(const FrameSampling& sampling, const std::array<Row, Count>& windowed, Row gathered) {
    const bool planned = sampling.lumaWindows > 0 && sampling.chromaWindows > 0 &&
                         sampling.blockWindows.size() == static_cast<size_t>(sampling.outputWidth / 8);
    if (planned) {
        return windowed[static_cast<size_t>(sampling.lumaWindows - 1) * kChromaCounts +
                        static_cast<size_t>(sampling.chromaWindows - 1)];
    }
    return sampling.gathersInsidePlanes() ? gathered : nullptr;
}

}  // namespace

void directPreprocess_avx2(const DirectPreprocessParams& params, int32_t row) {
    const int32_t sourceRow = params.geometry.sourceRow(row);
    if (sourceRow < 0) {
        directPreprocessPaddingRow(params, row);
        return;
    }
    const FloatRow convert = rowFor(params, kWindowedFloatRows, &floatRow<GatherSampler>);
    if (convert == nullptr) {
        directPreprocessColumns_scalar(params, row, sourceRow, 0, params.outputWidth);
        return;
    }
    convert(params, row, sourceRow);
}

void directPreprocess_avx2_uint8(const DirectPreprocessUint8Params& params, int32_t row) {
    const int32_t sourceRow = params.geometry.sourceRow(row);
    if (sourceRow < 0) {
        directPreprocessUint8PaddingRow(params, row);
        return;
    }
    const ByteRow convert = rowFor(params, kWindowedByteRows, &byteRow<GatherSampler>);
    if (convert == nullptr) {
        directPreprocessUint8Columns_scalar(params, row, sourceRow, 0, params.outputWidth);
        return;
    }
    convert(params, row, sourceRow);
}

}  // namespace vekai
