#include "corvane/vekai_video_frame.h"

#include <cpuid.h>
#include <vek/sdk/analytics/i_data_packet.h>
#include <xmmintrin.h>

#include <algorithm>
#include <cstring>
#include <limits>
#include <stdexcept>

#include "corvane/vekai_video_frame_rows.h"
#include "vekai_utilities/vekai_utils.h"

namespace vekai {

namespace {

using vek::sdk::analytics::IUncompressedVideoFrame1;

struct Rgb {
    float r;
    float g;
    float b;
};

// The min and max instructions the AVX2 twins use, one lane wide: the same results, and no branch to
// mispredict on real images.
float clampChannel(float value) {
    return _mm_cvtss_f32(_mm_max_ss(_mm_min_ss(_mm_set_ss(value), _mm_set_ss(255.0f)), _mm_setzero_ps()));
}

Rgb yuvToRgb(uint8_t ySample, uint8_t uSample, uint8_t vSample) {
    const float y = ySample;
    const float u = static_cast<float>(uSample) - 128.0f;
    const float v = static_cast<float>(vSample) - 128.0f;
    const float r = v * kRedFromV + y;
    const float g = v * kGreenFromV + (u * kGreenFromU + y);
    const float b = u * kBlueFromU + y;
    return {clampChannel(r), clampChannel(g), clampChannel(b)};
}

// Float images may come from external programs: NaN becomes 0 like any value below the range.
uint8_t toByte(float value) {
    if (!(value > 0.0f)) {
        return 0;
    }
    if (value >= 255.0f) {
        return 255;
    }
    return static_cast<uint8_t>(value);
}

// Truncation toward zero that saturates instead of overflowing on absurd crops; NaN gives 0.
int32_t truncToInt(float value) {
    if (!(value == value)) {
        return 0;
    }
    if (value >= 2147483648.0f) {
        return std::numeric_limits<int32_t>::max();
    }
    if (value < -2147483648.0f) {
        return std::numeric_limits<int32_t>::min();
    }
    return static_cast<int32_t>(value);
}

// trunc(position * scale) when it lies in [0, extent), else -1. A degenerate scale (a scaled size
// of 0 gives infinity) makes the position padding instead of undefined.
int32_t sampleIndex(int64_t position, float scale, int32_t extent) {
    const float scaled = static_cast<float>(position) * scale;
    if (!(scaled > -1.0f) || !(scaled < 2147483648.0f)) {
        return -1;
    }
    const int32_t index = static_cast<int32_t>(scaled);
    return index < extent ? index : -1;
}

size_t checkedImageBytes(int width, int height, size_t bytesPerPixel) {
    if (width < 0 || height < 0) {
        throw std::length_error("negative image size");
    }
    size_t pixels = 0;
    size_t bytes = 0;
    if (__builtin_mul_overflow(static_cast<size_t>(width), static_cast<size_t>(height), &pixels) ||
        __builtin_mul_overflow(pixels, bytesPerPixel, &bytes)) {
        throw std::length_error("image size overflows");
    }
    return bytes;
}

// Throws std::length_error for sizes no buffer can have, before anything is written.
void requireImageSize(int width, int height) {
    checkedImageBytes(width, height, 3 * sizeof(float));
}

int outputChannels(int channels) {
    return channels == 1 ? 1 : 3;
}

void storeRgb(float* output, bool planar, size_t planeSize, size_t index, const Rgb& value) {
    if (planar) {
        output[index] = value.r;
        output[planeSize + index] = value.g;
        output[2 * planeSize + index] = value.b;
    } else {
        float* pixel = output + 3 * index;
        pixel[0] = value.r;
        pixel[1] = value.g;
        pixel[2] = value.b;
    }
}

bool allBitsZero(float value) {
    uint32_t bits = 0;
    std::memcpy(&bits, &value, sizeof(bits));
    return bits == 0;
}

// Zero padding, the common case, goes through memset, which writes whole cache lines fastest.
void fillFloats(float* output, size_t count, float value) {
    if (allBitsZero(value)) {
        std::memset(output, 0, count * sizeof(float));
    } else {
        std::fill_n(output, count, value);
    }
}

// Repeats one pixel by doubling what is already written: a few long copies instead of a 3-float loop.
void fillInterleaved(float* output, size_t pixels, const Rgb& value) {
    if (pixels == 0) {
        return;
    }
    if (allBitsZero(value.r) && allBitsZero(value.g) && allBitsZero(value.b)) {
        std::memset(output, 0, 3 * pixels * sizeof(float));
        return;
    }
    output[0] = value.r;
    output[1] = value.g;
    output[2] = value.b;
    const size_t total = 3 * pixels;
    size_t filled = 3;
    while (filled < total) {
        const size_t count = std::min(filled, total - filled);
        std::memcpy(output + filled, output, count * sizeof(float));
        filled += count;
    }
}

void fillRgbRow(float* output, bool planar, size_t planeSize, size_t start, size_t count, const Rgb& value) {
    if (planar) {
        fillFloats(output + start, count, value.r);
        fillFloats(output + planeSize + start, count, value.g);
        fillFloats(output + 2 * planeSize + start, count, value.b);
    } else {
        fillInterleaved(output + 3 * start, count, value);
    }
}

// Gray from three channels; gray may be the three-channel buffer itself, as each pixel is read before
// any write reaches it.
void grayPlane(const float* rgb, bool planar, size_t pixels, float* gray) {
    for (size_t i = 0; i < pixels; ++i) {
        const float r = planar ? rgb[i] : rgb[3 * i];
        const float g = planar ? rgb[pixels + i] : rgb[3 * i + 1];
        const float b = planar ? rgb[2 * pixels + i] : rgb[3 * i + 2];
        gray[i] = (r * 0.299f + g * 0.587f) + b * 0.114f;
    }
}

struct Normalisation {
    Rgb scale;
    Rgb offset;
};

// 0 - mean rather than -mean: a mean of 0 then pads with +0.0, whose bytes are all zero.
Normalisation normalisation(const ChannelValues& means, const ChannelValues& vars) {
    return {{1.0f / vars[0], 1.0f / vars[1], 1.0f / vars[2]},
            {(0.0f - means[0]) / vars[0], (0.0f - means[1]) / vars[1], (0.0f - means[2]) / vars[2]}};
}

Rgb normalise(const Rgb& value, const Normalisation& n) {
    return {value.r * n.scale.r + n.offset.r, value.g * n.scale.g + n.offset.g,
            value.b * n.scale.b + n.offset.b};
}

// Reads the planes; a frame that cannot be read safely counts as empty.
bool readFramePlanes(const IUncompressedVideoFrame1& frame, FrameSampling& sampling) {
    const int width = frame.width();
    const int height = frame.height();
    const int chromaWidth = width / 2 + width % 2;
    sampling.planeY = frame.data(0);
    sampling.planeU = frame.data(1);
    sampling.planeV = frame.data(2);
    sampling.lineSizeY = frame.lineSize(0);
    sampling.lineSizeU = frame.lineSize(1);
    sampling.lineSizeV = frame.lineSize(2);
    const bool usable = width > 0 && height > 0 && sampling.planeY != nullptr && sampling.planeU != nullptr &&
                        sampling.planeV != nullptr && sampling.lineSizeY >= width &&
                        sampling.lineSizeU >= chromaWidth && sampling.lineSizeV >= chromaWidth;
    if (!usable) {
        vekai_vlog_verbose("Warning! Video frame %dx%d with line sizes %td/%td/%td cannot be read.\n", width,
                           height, sampling.lineSizeY, sampling.lineSizeU, sampling.lineSizeV);
        return false;
    }
    sampling.frameWidth = width;
    sampling.frameHeight = height;
    return true;
}

// An RGB float image given as bytes; one that does not hold its declared pixels is not read at all.
struct FloatSource {
    const uint8_t* bytes = nullptr;
    int32_t width = 0;
    int32_t height = 0;
    bool planar = true;

    bool usable() const { return bytes != nullptr; }

    Rgb at(int32_t row, int32_t column) const {
        const size_t pixel =
            static_cast<size_t>(row) * static_cast<size_t>(width) + static_cast<size_t>(column);
        const size_t plane = static_cast<size_t>(width) * static_cast<size_t>(height);
        const size_t stride = planar ? plane : 1;
        const size_t first = planar ? pixel : 3 * pixel;
        float values[3];
        for (size_t c = 0; c < 3; ++c) {
            std::memcpy(&values[c], bytes + (first + c * stride) * sizeof(float), sizeof(float));
        }
        return {values[0], values[1], values[2]};
    }
};

FloatSource floatSource(std::span<const uint8_t> bytes, int64_t width, int64_t height, ImageOrder order) {
    FloatSource source;
    if (width <= 0 || height <= 0 || width > std::numeric_limits<int32_t>::max() ||
        height > std::numeric_limits<int32_t>::max()) {
        return source;
    }
    size_t needed = 0;
    if (__builtin_mul_overflow(static_cast<size_t>(width) * static_cast<size_t>(height), 3 * sizeof(float),
                               &needed) ||
        bytes.size() < needed) {
        return source;
    }
    source.bytes = bytes.data();
    source.width = static_cast<int32_t>(width);
    source.height = static_cast<int32_t>(height);
    source.planar = order == ImageOrder::Planar;
    return source;
}

FloatSource frameSource(const VideoFrame& frame) {
    constexpr uint64_t kLargest = std::numeric_limits<int64_t>::max();
    return floatSource(frame.data(), static_cast<int64_t>(std::min(frame.width(), kLargest)),
                       static_cast<int64_t>(std::min(frame.height(), kLargest)), frame.layout());
}

// Samples the source into the target: writer.pixel(index, rgb) for image pixels, writer.padRow and
// writer.pad for padding. An unreadable source gives a target of padding only.
template <class Writer>
void resample(const FloatSource& source, int width, int height, const CropBox& crop, ResizingMethod method,
              Writer& writer) {
    if (!source.usable()) {
        for (int32_t row = 0; row < height; ++row) {
            writer.padRow(row);
        }
        return;
    }
    const SamplingGeometry geometry =
        samplingGeometry(source.width, source.height, width, height, crop, method);
    for (int32_t row = 0; row < height; ++row) {
        const int32_t sourceRow = geometry.sourceRow(row);
        if (sourceRow < 0) {
            writer.padRow(row);
            continue;
        }
        const size_t rowStart = static_cast<size_t>(row) * static_cast<size_t>(width);
        for (int32_t x = 0; x < width; ++x) {
            const int32_t column = geometry.columnMap[static_cast<size_t>(x)];
            if (column < 0) {
                writer.pad(rowStart + static_cast<size_t>(x));
            } else {
                writer.pixel(rowStart + static_cast<size_t>(x), source.at(sourceRow, column));
            }
        }
    }
}

struct NormalisedFloatWriter {
    float* output;
    size_t width;
    size_t planeSize;
    bool planar;
    Normalisation normalisation;

    void pixel(size_t index, const Rgb& value) {
        storeRgb(output, planar, planeSize, index, normalise(value, normalisation));
    }
    void pad(size_t index) { storeRgb(output, planar, planeSize, index, normalisation.offset); }
    void padRow(int32_t row) {
        fillRgbRow(output, planar, planeSize, static_cast<size_t>(row) * width, width, normalisation.offset);
    }
};

struct ByteWriter {
    uint8_t* output;
    size_t width;
    size_t planeSize;
    bool planar;

    void pixel(size_t index, const Rgb& value) {
        store(index, toByte(value.r), toByte(value.g), toByte(value.b));
    }
    void pad(size_t index) { store(index, 0, 0, 0); }
    void padRow(int32_t row) {
        const size_t start = static_cast<size_t>(row) * width;
        if (planar) {
            for (size_t c = 0; c < 3; ++c) {
                std::memset(output + c * planeSize + start, 0, width);
            }
        } else {
            std::memset(output + 3 * start, 0, 3 * width);
        }
    }
    void store(size_t index, uint8_t r, uint8_t g, uint8_t b) {
        if (planar) {
            output[index] = r;
            output[planeSize + index] = g;
            output[2 * planeSize + index] = b;
        } else {
            output[3 * index] = r;
            output[3 * index + 1] = g;
            output[3 * index + 2] = b;
        }
    }
};

void resampleToFloats(const FloatSource& source, int width, int height, ImageOrder order, const CropBox& crop,
                      ResizingMethod method, const ChannelValues& means, const ChannelValues& vars,
                      float* output) {
    const size_t planeSize = static_cast<size_t>(width) * static_cast<size_t>(height);
    NormalisedFloatWriter writer{output, static_cast<size_t>(width), planeSize, order == ImageOrder::Planar,
                                 normalisation(means, vars)};
    resample(source, width, height, crop, method, writer);
}

void resampleToBytes(const FloatSource& source, int width, int height, ImageOrder order, const CropBox& crop,
                     ResizingMethod method, uint8_t* output) {
    const size_t planeSize = static_cast<size_t>(width) * static_cast<size_t>(height);
    ByteWriter writer{output, static_cast<size_t>(width), planeSize, order == ImageOrder::Planar};
    resample(source, width, height, crop, method, writer);
}

SimdLevel usableLevel(SimdLevel requested) {
    return requested == SimdLevel::Avx2 && cpuHasAVX2() ? SimdLevel::Avx2 : SimdLevel::Scalar;
}

// The three-channel result of the direct float road.
void directRgb(const IUncompressedVideoFrame1& frame, ImageOrder order, int width, int height,
               const CropBox& crop, ResizingMethod method, const ChannelValues& means,
               const ChannelValues& vars, float* output, SimdLevel level) {
    DirectPreprocessParams params;
    const Normalisation n = normalisation(means, vars);
    params.scaleR = n.scale.r;
    params.offsetR = n.offset.r;
    params.scaleG = n.scale.g;
    params.offsetG = n.offset.g;
    params.scaleB = n.scale.b;
    params.offsetB = n.offset.b;
    params.paddingR = n.offset.r;
    params.paddingG = n.offset.g;
    params.paddingB = n.offset.b;
    params.output = output;
    params.outputWidth = width;
    params.outputHeight = height;
    params.planeSize = static_cast<size_t>(width) * static_cast<size_t>(height);
    params.planar = order == ImageOrder::Planar;
    if (!readFramePlanes(frame, params)) {
        for (int32_t row = 0; row < height; ++row) {
            directPreprocessPaddingRow(params, row);
        }
        return;
    }
    params.geometry = samplingGeometry(params.frameWidth, params.frameHeight, width, height, crop, method);
    const bool avx2 = usableLevel(level) == SimdLevel::Avx2;
    if (avx2) {
        params.planBlockWindows();
    }
    const auto rowRoutine = avx2 ? directPreprocess_avx2 : directPreprocess_scalar;
    for (int32_t row = 0; row < height; ++row) {
        rowRoutine(params, row);
    }
}

}  // namespace

bool cpuHasAVX2() {
    static const bool answer = [] {
        if (__get_cpuid_max(0, nullptr) < 7) {
            return false;
        }
        unsigned int eax = 0;
        unsigned int ebx = 0;
        unsigned int ecx = 0;
        unsigned int edx = 0;
        __cpuid_count(7, 0, eax, ebx, ecx, edx);
        if ((ebx & (1u << 5)) == 0) {
            return false;
        }
        // The instructions fault unless the operating system saves the YMM registers (OSXSAVE, XCR0).
        __cpuid(1, eax, ebx, ecx, edx);
        if ((ecx & (1u << 27)) == 0) {
            return false;
        }
        unsigned int xcr0 = 0;
        unsigned int xcr0High = 0;
        __asm__ volatile("xgetbv" : "=a"(xcr0), "=d"(xcr0High) : "c"(0));
        return (xcr0 & 0x6u) == 0x6u;
    }();
    return answer;
}

SimdLevel bestSimdLevel() {
    VekAITimer timer("cpuHasAVX2");
    return cpuHasAVX2() ? SimdLevel::Avx2 : SimdLevel::Scalar;
}

int32_t SamplingGeometry::sourceRow(int32_t row) const {
    const int32_t index = sampleIndex(static_cast<int64_t>(row) - placement.top, rowScale, crop.height);
    return index < 0 ? -1 : crop.y + index;
}

CropRegion cropRegion(int32_t sourceWidth, int32_t sourceHeight, const CropBox& crop) {
    const float width = static_cast<float>(sourceWidth);
    const float height = static_cast<float>(sourceHeight);
    const int32_t left = truncToInt(crop[0] * width);
    const int32_t top = truncToInt(crop[1] * height);
    const int32_t right = truncToInt(crop[2] * width);
    const int32_t bottom = truncToInt(crop[3] * height);
    CropRegion region;
    region.x = std::max(std::min(left, sourceWidth - 1), 0);
    region.y = std::max(std::min(top, sourceHeight - 1), 0);
    region.width = std::max(std::min(right, sourceWidth), region.x + 1) - region.x;
    region.height = std::max(std::min(bottom, sourceHeight), region.y + 1) - region.y;
    return region;
}

Placement placement(int32_t targetWidth, int32_t targetHeight, const CropRegion& crop,
                    ResizingMethod method) {
    Placement result;
    if (method != ResizingMethod::Crop && method != ResizingMethod::Letterbox) {
        result.scaledWidth = targetWidth;
        result.scaledHeight = targetHeight;
        return result;
    }
    const float scaleX = static_cast<float>(targetWidth) / static_cast<float>(crop.width);
    const float scaleY = static_cast<float>(targetHeight) / static_cast<float>(crop.height);
    const float scale = method == ResizingMethod::Crop ? std::max(scaleY, scaleX) : std::min(scaleY, scaleX);
    result.scaledWidth = truncToInt(scale * static_cast<float>(crop.width));
    result.scaledHeight = truncToInt(scale * static_cast<float>(crop.height));
    result.left = static_cast<int32_t>((static_cast<int64_t>(targetWidth) - result.scaledWidth) / 2);
    result.top = static_cast<int32_t>((static_cast<int64_t>(targetHeight) - result.scaledHeight) / 2);
    return result;
}

SamplingGeometry samplingGeometry(int32_t sourceWidth, int32_t sourceHeight, int32_t targetWidth,
                                  int32_t targetHeight, const CropBox& crop, ResizingMethod method) {
    SamplingGeometry geometry;
    geometry.crop = cropRegion(sourceWidth, sourceHeight, crop);
    geometry.placement = placement(targetWidth, targetHeight, geometry.crop, method);
    const float columnScale =
        static_cast<float>(geometry.crop.width) / static_cast<float>(geometry.placement.scaledWidth);
    geometry.columnMap.resize(static_cast<size_t>(std::max(targetWidth, 0)));
    for (int32_t x = 0; x < targetWidth; ++x) {
        const int32_t index =
            sampleIndex(static_cast<int64_t>(x) - geometry.placement.left, columnScale, geometry.crop.width);
        geometry.columnMap[static_cast<size_t>(x)] = index < 0 ? -1 : geometry.crop.x + index;
    }
    geometry.rowScale =
        static_cast<float>(geometry.crop.height) / static_cast<float>(geometry.placement.scaledHeight);
    return geometry;
}

bool FrameSampling::gathersInsidePlanes() const {
    // Every plane then has at least two rows and line sizes of at least 3 bytes.
    return frameWidth >= 8 && frameHeight >= 4;
}

namespace {

struct SampleSpan {
    int32_t first = std::numeric_limits<int32_t>::max();
    int32_t last = -1;

    int32_t windowsNeeded() const { return last < 0 ? 1 : (last - first) / 16 + 1; }
};

SampleSpan sampleSpan(const int32_t* columns, int32_t divisor) {
    SampleSpan span;
    for (int32_t i = 0; i < 8; ++i) {
        if (columns[i] >= 0) {
            span.first = std::min(span.first, columns[i] / divisor);
            span.last = std::max(span.last, columns[i] / divisor);
        }
    }
    return span;
}

// Windows start at most 16 bytes before the end of the plane's row, so no load leaves the row; the
// windows a block does not need load its first window's bytes and use none of them.
SampleWindows planWindows(const int32_t* columns, int32_t divisor, int32_t planeWidth, int32_t windows) {
    const SampleSpan span = sampleSpan(columns, divisor);
    SampleWindows plan;
    for (int32_t k = 0; k < windows; ++k) {
        plan.starts[k] = span.last < 0 ? 0
                                       : std::min(span.first + 16 * std::min(k, span.windowsNeeded() - 1),
                                                  planeWidth - 16);
        std::fill_n(plan.shuffles[k], 16, SampleWindows::kUnused);
    }
    for (int32_t i = 0; i < 8; ++i) {
        if (columns[i] < 0) {
            continue;
        }
        const int32_t sample = columns[i] / divisor;
        for (int32_t k = 0; k < windows; ++k) {
            const int32_t offset = sample - plan.starts[k];
            if (offset >= 0 && offset < 16) {
                plan.shuffles[k][i] = static_cast<uint8_t>(offset);
                break;
            }
        }
    }
    return plan;
}

}  // namespace

void FrameSampling::planBlockWindows() {
    const int32_t blocks = outputWidth / 8;
    const int32_t chromaWidth = frameWidth / 2 + frameWidth % 2;
    lumaWindows = 1;
    chromaWindows = 1;
    for (int32_t block = 0; block < blocks; ++block) {
        const int32_t* columns = geometry.columnMap.data() + 8 * block;
        lumaWindows = std::max(lumaWindows, sampleSpan(columns, 1).windowsNeeded());
        chromaWindows = std::max(chromaWindows, sampleSpan(columns, 2).windowsNeeded());
    }
    blockWindows.clear();
    if (chromaWidth < 16 || lumaWindows > SampleWindows::kMaxLumaWindows ||
        chromaWindows > SampleWindows::kMaxChromaWindows) {
        lumaWindows = 0;
        chromaWindows = 0;
        return;
    }
    blockWindows.resize(static_cast<size_t>(blocks));
    for (int32_t block = 0; block < blocks; ++block) {
        const int32_t* columns = geometry.columnMap.data() + 8 * block;
        blockWindows[static_cast<size_t>(block)] = {planWindows(columns, 1, frameWidth, lumaWindows),
                                                    planWindows(columns, 2, chromaWidth, chromaWindows)};
    }
}

void directPreprocessColumns_scalar(const DirectPreprocessParams& params, int32_t row, int32_t sourceRow,
                                    int32_t begin, int32_t end) {
    const uint8_t* y = params.planeY + sourceRow * params.lineSizeY;
    const uint8_t* u = params.planeU + (sourceRow / 2) * params.lineSizeU;
    const uint8_t* v = params.planeV + (sourceRow / 2) * params.lineSizeV;
    const Normalisation n{{params.scaleR, params.scaleG, params.scaleB},
                          {params.offsetR, params.offsetG, params.offsetB}};
    const Rgb padding{params.paddingR, params.paddingG, params.paddingB};
    const size_t rowStart = static_cast<size_t>(row) * static_cast<size_t>(params.outputWidth);
    for (int32_t x = begin; x < end; ++x) {
        const int32_t column = params.geometry.columnMap[static_cast<size_t>(x)];
        const size_t index = rowStart + static_cast<size_t>(x);
        if (column < 0) {
            storeRgb(params.output, params.planar, params.planeSize, index, padding);
        } else {
            const Rgb value = yuvToRgb(y[column], u[column / 2], v[column / 2]);
            storeRgb(params.output, params.planar, params.planeSize, index, normalise(value, n));
        }
    }
}

void directPreprocessUint8Columns_scalar(const DirectPreprocessUint8Params& params, int32_t row,
                                         int32_t sourceRow, int32_t begin, int32_t end) {
    const uint8_t* y = params.planeY + sourceRow * params.lineSizeY;
    const uint8_t* u = params.planeU + (sourceRow / 2) * params.lineSizeU;
    const uint8_t* v = params.planeV + (sourceRow / 2) * params.lineSizeV;
    uint8_t* out = params.output + 3 * static_cast<size_t>(row) * static_cast<size_t>(params.outputWidth);
    for (int32_t x = begin; x < end; ++x) {
        const int32_t column = params.geometry.columnMap[static_cast<size_t>(x)];
        uint8_t* pixel = out + 3 * static_cast<size_t>(x);
        if (column < 0) {
            pixel[0] = pixel[1] = pixel[2] = 0;
        } else {
            // Already clamped to 0..255: truncation is all that is left.
            const Rgb value = yuvToRgb(y[column], u[column / 2], v[column / 2]);
            pixel[0] = static_cast<uint8_t>(value.r);
            pixel[1] = static_cast<uint8_t>(value.g);
            pixel[2] = static_cast<uint8_t>(value.b);
        }
    }
}

void directPreprocessPaddingRow(const DirectPreprocessParams& params, int32_t row) {
    fillRgbRow(params.output, params.planar, params.planeSize,
               static_cast<size_t>(row) * static_cast<size_t>(params.outputWidth),
               static_cast<size_t>(params.outputWidth), {params.paddingR, params.paddingG, params.paddingB});
}

void directPreprocessUint8PaddingRow(const DirectPreprocessUint8Params& params, int32_t row) {
    const size_t rowBytes = 3 * static_cast<size_t>(params.outputWidth);
    std::memset(params.output + static_cast<size_t>(row) * rowBytes, 0, rowBytes);
}

void directPreprocess_scalar(const DirectPreprocessParams& params, int32_t row) {
    const int32_t sourceRow = params.geometry.sourceRow(row);
    if (sourceRow < 0) {
        directPreprocessPaddingRow(params, row);
    } else {
        directPreprocessColumns_scalar(params, row, sourceRow, 0, params.outputWidth);
    }
}

void directPreprocessUint8_scalar(const DirectPreprocessUint8Params& params, int32_t row) {
    const int32_t sourceRow = params.geometry.sourceRow(row);
    if (sourceRow < 0) {
        directPreprocessUint8PaddingRow(params, row);
    } else {
        directPreprocessUint8Columns_scalar(params, row, sourceRow, 0, params.outputWidth);
    }
}

VideoFrame::VideoFrame(const IUncompressedVideoFrame1& frame, ImageOrder layout)
    : imageWidth(static_cast<uint64_t>(std::max(frame.width(), 0))),
      imageHeight(static_cast<uint64_t>(std::max(frame.height(), 0))),
      imageLayout(layout) {
    convertYUVtoFloat(frame, layout, imageData);
}

VideoFrame::VideoFrame(std::span<const uint8_t> bytes, uint64_t width, uint64_t height, ImageOrder layout)
    : imageWidth(width), imageHeight(height), imageLayout(layout), imageData(bytes.begin(), bytes.end()) {
    size_t expected = 0;
    if (__builtin_mul_overflow(width, height, &expected) ||
        __builtin_mul_overflow(expected, 3 * sizeof(float), &expected) || expected != bytes.size()) {
        vekai_vlog(
            "Warning! An RGB image of %zu bytes does not hold %llu x %llu float pixels; it is not read.\n",
            bytes.size(), static_cast<unsigned long long>(width), static_cast<unsigned long long>(height));
    }
}

size_t VideoFrame::floatResultBytes(int width, int height, int channels) {
    return checkedImageBytes(width, height, static_cast<size_t>(outputChannels(channels)) * sizeof(float));
}

size_t VideoFrame::byteResultBytes(int width, int height) {
    return checkedImageBytes(width, height, 3);
}

std::vector<uint8_t> VideoFrame::processImage(int width, int height, int channels, ImageOrder order,
                                              const CropBox& crop, ResizingMethod method,
                                              const ChannelValues& means, const ChannelValues& vars) const {
    std::vector<uint8_t> output(floatResultBytes(width, height, 3));
    float* values = reinterpret_cast<float*>(output.data());
    resampleToFloats(frameSource(*this), width, height, order, crop, method, means, vars, values);
    if (outputChannels(channels) == 1) {
        const size_t pixels = static_cast<size_t>(width) * static_cast<size_t>(height);
        grayPlane(values, order == ImageOrder::Planar, pixels, values);
        output.resize(pixels * sizeof(float));
    }
    return output;
}

std::vector<uint8_t> VideoFrame::processImageUint8(int width, int height, ImageOrder order,
                                                   const CropBox& crop, ResizingMethod method) const {
    std::vector<uint8_t> output(byteResultBytes(width, height));
    processImageUint8Into(width, height, order, crop, method, output.data());
    return output;
}

void VideoFrame::processImageInto(int width, int height, int channels, ImageOrder order, const CropBox& crop,
                                  ResizingMethod method, const ChannelValues& means,
                                  const ChannelValues& vars, float* output) const {
    requireImageSize(width, height);
    const FloatSource source = frameSource(*this);
    if (outputChannels(channels) == 3) {
        resampleToFloats(source, width, height, order, crop, method, means, vars, output);
        return;
    }
    std::vector<float> rgb(floatResultBytes(width, height, 3) / sizeof(float));
    resampleToFloats(source, width, height, order, crop, method, means, vars, rgb.data());
    grayPlane(rgb.data(), order == ImageOrder::Planar,
              static_cast<size_t>(width) * static_cast<size_t>(height), output);
}

void VideoFrame::processImageUint8Into(int width, int height, ImageOrder order, const CropBox& crop,
                                       ResizingMethod method, uint8_t* output) const {
    requireImageSize(width, height);
    resampleToBytes(frameSource(*this), width, height, order, crop, method, output);
}

void VideoFrame::convertYUVtoFloat(const IUncompressedVideoFrame1& frame, ImageOrder layout,
                                   std::vector<uint8_t>& output) {
    FrameSampling planes;
    if (!readFramePlanes(frame, planes)) {
        output.clear();
        return;
    }
    const size_t width = static_cast<size_t>(planes.frameWidth);
    const size_t planeSize = width * static_cast<size_t>(planes.frameHeight);
    output.resize(checkedImageBytes(planes.frameWidth, planes.frameHeight, 3 * sizeof(float)));
    float* out = reinterpret_cast<float*>(output.data());
    const bool planar = layout == ImageOrder::Planar;
    for (int32_t row = 0; row < planes.frameHeight; ++row) {
        const uint8_t* y = planes.planeY + row * planes.lineSizeY;
        const uint8_t* u = planes.planeU + (row / 2) * planes.lineSizeU;
        const uint8_t* v = planes.planeV + (row / 2) * planes.lineSizeV;
        const size_t rowStart = static_cast<size_t>(row) * width;
        for (size_t x = 0; x < width; ++x) {
            storeRgb(out, planar, planeSize, rowStart + x, yuvToRgb(y[x], u[x / 2], v[x / 2]));
        }
    }
}

void VideoFrame::resizeFloatImage(std::span<const uint8_t> source, int sourceWidth, int sourceHeight,
                                  ImageOrder sourceOrder, int width, int height, ImageOrder order,
                                  const CropBox& crop, ResizingMethod method, const ChannelValues& means,
                                  const ChannelValues& vars, std::vector<uint8_t>& output) {
    output.resize(floatResultBytes(width, height, 3));
    resampleToFloats(floatSource(source, sourceWidth, sourceHeight, sourceOrder), width, height, order, crop,
                     method, means, vars, reinterpret_cast<float*>(output.data()));
}

void VideoFrame::resizeFloatToUint8Image(std::span<const uint8_t> source, int sourceWidth, int sourceHeight,
                                         ImageOrder sourceOrder, int width, int height, ImageOrder order,
                                         const CropBox& crop, ResizingMethod method,
                                         std::vector<uint8_t>& output) {
    output.resize(byteResultBytes(width, height));
    resampleToBytes(floatSource(source, sourceWidth, sourceHeight, sourceOrder), width, height, order, crop,
                    method, output.data());
}

std::vector<uint8_t> VideoFrame::directPreprocess(const IUncompressedVideoFrame1& frame, ImageOrder order,
                                                  int width, int height, int channels, const CropBox& crop,
                                                  ResizingMethod method, const ChannelValues& means,
                                                  const ChannelValues& vars) {
    std::vector<uint8_t> output(floatResultBytes(width, height, 3));
    float* values = reinterpret_cast<float*>(output.data());
    directRgb(frame, order, width, height, crop, method, means, vars, values, bestSimdLevel());
    if (outputChannels(channels) == 1) {
        const size_t pixels = static_cast<size_t>(width) * static_cast<size_t>(height);
        grayPlane(values, order == ImageOrder::Planar, pixels, values);
        output.resize(pixels * sizeof(float));
    }
    return output;
}

std::vector<uint8_t> VideoFrame::directPreprocessUint8(const IUncompressedVideoFrame1& frame, int width,
                                                       int height, const CropBox& crop,
                                                       ResizingMethod method) {
    std::vector<uint8_t> output(byteResultBytes(width, height));
    directPreprocessUint8Into(frame, width, height, crop, method, output.data(), bestSimdLevel());
    return output;
}

void VideoFrame::directPreprocessInto(const IUncompressedVideoFrame1& frame, ImageOrder order, int width,
                                      int height, int channels, const CropBox& crop, ResizingMethod method,
                                      const ChannelValues& means, const ChannelValues& vars, float* output,
                                      SimdLevel level) {
    requireImageSize(width, height);
    if (outputChannels(channels) == 3) {
        directRgb(frame, order, width, height, crop, method, means, vars, output, level);
        return;
    }
    std::vector<float> rgb(floatResultBytes(width, height, 3) / sizeof(float));
    directRgb(frame, order, width, height, crop, method, means, vars, rgb.data(), level);
    grayPlane(rgb.data(), order == ImageOrder::Planar,
              static_cast<size_t>(width) * static_cast<size_t>(height), output);
}

void VideoFrame::directPreprocessUint8Into(const IUncompressedVideoFrame1& frame, int width, int height,
                                           const CropBox& crop, ResizingMethod method, uint8_t* output,
                                           SimdLevel level) {
    requireImageSize(width, height);
    DirectPreprocessUint8Params params;
    params.output = output;
    params.outputWidth = width;
    params.outputHeight = height;
    if (!readFramePlanes(frame, params)) {
        for (int32_t row = 0; row < height; ++row) {
            directPreprocessUint8PaddingRow(params, row);
        }
        return;
    }
    params.geometry = samplingGeometry(params.frameWidth, params.frameHeight, width, height, crop, method);
    const bool avx2 = usableLevel(level) == SimdLevel::Avx2;
    if (avx2) {
        params.planBlockWindows();
    }
    const auto rowRoutine = avx2 ? directPreprocess_avx2_uint8 : directPreprocessUint8_scalar;
    for (int32_t row = 0; row < height; ++row) {
        rowRoutine(params, row);
    }
}

}  // namespace vekai
