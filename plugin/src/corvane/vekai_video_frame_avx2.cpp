// AVX2 twins of the direct road's row routines: 8 output columns per step, the columns after the last
// full block by the scalar routine. Only these functions use AVX2, so the build needs no -mavx2.
#include <immintrin.h>

#include "corvane/vekai_video_frame_rows.h"

#define VEKAI_TARGET_AVX2 __attribute__((target("avx2")))

namespace vekai {

namespace {

// Gathers read 4 bytes per sample. From a plane's second row on, the 3 bytes before a sample lie inside
// the plane; in its first row the 3 bytes after it do, because a second row follows. Either way the
// wanted byte is then shifted down to the low end of its 32-bit lane.
struct RowSamples {
    const uint8_t* y;
    const uint8_t* u;
    const uint8_t* v;
    __m128i lumaShift;
    __m128i chromaShift;
};

VEKAI_TARGET_AVX2 RowSamples rowSamples(const FrameSampling& sampling, int32_t sourceRow) {
    const int32_t chromaRow = sourceRow / 2;
    const ptrdiff_t lumaBack = sourceRow > 0 ? 3 : 0;
    const ptrdiff_t chromaBack = chromaRow > 0 ? 3 : 0;
    return {sampling.planeY + sourceRow * sampling.lineSizeY - lumaBack,
            sampling.planeU + chromaRow * sampling.lineSizeU - chromaBack,
            sampling.planeV + chromaRow * sampling.lineSizeV - chromaBack,
            _mm_cvtsi32_si128(static_cast<int>(lumaBack * 8)),
            _mm_cvtsi32_si128(static_cast<int>(chromaBack * 8))};
}

VEKAI_TARGET_AVX2 inline __m256 gatherSamples(const uint8_t* base, __m256i columns, __m128i shift) {
    const __m256i words = _mm256_i32gather_epi32(reinterpret_cast<const int*>(base), columns, 1);
    return _mm256_cvtepi32_ps(_mm256_and_si256(_mm256_srl_epi32(words, shift), _mm256_set1_epi32(0xFF)));
}

VEKAI_TARGET_AVX2 inline __m256 clampChannel(__m256 value) {
    return _mm256_max_ps(_mm256_min_ps(value, _mm256_set1_ps(255.0f)), _mm256_setzero_ps());
}

struct RgbBlock {
    __m256 r;
    __m256 g;
    __m256 b;
};

// Padding columns (-1) sample column 0, which the caller then overwrites. Multiplies and adds stay
// separate and in the scalar order, so every value equals the scalar one bit for bit.
VEKAI_TARGET_AVX2 inline RgbBlock convertBlock(const RowSamples& rows, __m256i columns) {
    const __m256i luma = _mm256_max_epi32(columns, _mm256_setzero_si256());
    const __m256i chroma = _mm256_srli_epi32(luma, 1);
    const __m256 half = _mm256_set1_ps(128.0f);
    const __m256 y = gatherSamples(rows.y, luma, rows.lumaShift);
    const __m256 u = _mm256_sub_ps(gatherSamples(rows.u, chroma, rows.chromaShift), half);
    const __m256 v = _mm256_sub_ps(gatherSamples(rows.v, chroma, rows.chromaShift), half);
    const __m256 r = _mm256_add_ps(_mm256_mul_ps(v, _mm256_set1_ps(kRedFromV)), y);
    const __m256 g = _mm256_add_ps(_mm256_mul_ps(v, _mm256_set1_ps(kGreenFromV)),
                                   _mm256_add_ps(_mm256_mul_ps(u, _mm256_set1_ps(kGreenFromU)), y));
    const __m256 b = _mm256_add_ps(_mm256_mul_ps(u, _mm256_set1_ps(kBlueFromU)), y);
    return {clampChannel(r), clampChannel(g), clampChannel(b)};
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

VEKAI_TARGET_AVX2 inline __m256i loadColumns(const FrameSampling& sampling, int32_t x) {
    return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(sampling.geometry.columnMap.data() + x));
}

VEKAI_TARGET_AVX2 inline __m256i paddingMask(__m256i columns) {
    return _mm256_cmpgt_epi32(_mm256_setzero_si256(), columns);
}

int32_t fullBlockEnd(int32_t width) {
    return width - width % 8;
}

}  // namespace

VEKAI_TARGET_AVX2 void directPreprocess_avx2(const DirectPreprocessParams& params, int32_t row) {
    const int32_t sourceRow = params.geometry.sourceRow(row);
    if (sourceRow < 0) {
        directPreprocessPaddingRow(params, row);
        return;
    }
    if (!params.gathersInsidePlanes()) {
        directPreprocessColumns_scalar(params, row, sourceRow, 0, params.outputWidth);
        return;
    }
    const RowSamples rows = rowSamples(params, sourceRow);
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
    const int32_t blockEnd = fullBlockEnd(params.outputWidth);
    for (int32_t x = 0; x < blockEnd; x += 8) {
        const __m256i columns = loadColumns(params, x);
        const __m256 padding = _mm256_castsi256_ps(paddingMask(columns));
        __m256 r = paddingR;
        __m256 g = paddingG;
        __m256 b = paddingB;
        if (_mm256_movemask_ps(padding) != 0xFF) {
            const RgbBlock block = convertBlock(rows, columns);
            r = _mm256_blendv_ps(_mm256_add_ps(_mm256_mul_ps(block.r, scaleR), offsetR), paddingR, padding);
            g = _mm256_blendv_ps(_mm256_add_ps(_mm256_mul_ps(block.g, scaleG), offsetG), paddingG, padding);
            b = _mm256_blendv_ps(_mm256_add_ps(_mm256_mul_ps(block.b, scaleB), offsetB), paddingB, padding);
        }
        const size_t index = rowStart + static_cast<size_t>(x);
        if (params.planar) {
            _mm256_storeu_ps(params.output + index, r);
            _mm256_storeu_ps(params.output + params.planeSize + index, g);
            _mm256_storeu_ps(params.output + 2 * params.planeSize + index, b);
        } else {
            storeInterleaved(params.output + 3 * index, r, g, b);
        }
    }
    directPreprocessColumns_scalar(params, row, sourceRow, blockEnd, params.outputWidth);
}

VEKAI_TARGET_AVX2 void directPreprocess_avx2_uint8(const DirectPreprocessUint8Params& params, int32_t row) {
    const int32_t sourceRow = params.geometry.sourceRow(row);
    if (sourceRow < 0) {
        directPreprocessUint8PaddingRow(params, row);
        return;
    }
    if (!params.gathersInsidePlanes()) {
        directPreprocessUint8Columns_scalar(params, row, sourceRow, 0, params.outputWidth);
        return;
    }
    const RowSamples rows = rowSamples(params, sourceRow);
    // Per 128-bit lane: the low three bytes of four pixel words, then the two 12-byte halves joined.
    const __m256i packBytes = _mm256_setr_epi8(0, 1, 2, 4, 5, 6, 8, 9, 10, 12, 13, 14, -1, -1, -1, -1,  //
                                               0, 1, 2, 4, 5, 6, 8, 9, 10, 12, 13, 14, -1, -1, -1, -1);
    const __m256i joinHalves = _mm256_setr_epi32(0, 1, 2, 4, 5, 6, 3, 7);
    uint8_t* out = params.output + 3 * static_cast<size_t>(row) * static_cast<size_t>(params.outputWidth);
    const int32_t blockEnd = fullBlockEnd(params.outputWidth);
    for (int32_t x = 0; x < blockEnd; x += 8) {
        const __m256i columns = loadColumns(params, x);
        const __m256i padding = paddingMask(columns);
        __m256i words = _mm256_setzero_si256();
        if (_mm256_movemask_epi8(padding) != -1) {
            const RgbBlock block = convertBlock(rows, columns);
            words = _mm256_or_si256(_mm256_cvttps_epi32(block.r),
                                    _mm256_or_si256(_mm256_slli_epi32(_mm256_cvttps_epi32(block.g), 8),
                                                    _mm256_slli_epi32(_mm256_cvttps_epi32(block.b), 16)));
            words = _mm256_andnot_si256(padding, words);
        }
        const __m256i packed = _mm256_permutevar8x32_epi32(_mm256_shuffle_epi8(words, packBytes), joinHalves);
        uint8_t* pixels = out + 3 * static_cast<size_t>(x);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(pixels), _mm256_castsi256_si128(packed));
        _mm_storel_epi64(reinterpret_cast<__m128i*>(pixels + 16), _mm256_extracti128_si256(packed, 1));
    }
    directPreprocessUint8Columns_scalar(params, row, sourceRow, blockEnd, params.outputWidth);
}

}  // namespace vekai
