// Conversion of the host's YUV 4:2:0 frames into model inputs: a full RGB float image that is cut,
// resized and normalised per stage, or a direct road that samples the planes into the input at once.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "corvane/vekai_image_order.h"

namespace vek::sdk::analytics {
class IUncompressedVideoFrame1;
}

namespace vekai {

// Region of the source as fractions of its size: left, top, right, bottom.
using CropBox = std::array<float, 4>;
// One value per channel, in R, G, B order.
using ChannelValues = std::array<float, 3>;

// Which row routines run: the scalar reference or its AVX2 twin, which gives the same results.
enum class SimdLevel {
    Scalar,
    Avx2,
};

// Whether this processor runs AVX2 and the operating system keeps its registers; probed once.
bool cpuHasAVX2();
// The fastest level this machine runs; each query is timed as "cpuHasAVX2".
SimdLevel bestSimdLevel();

class VideoFrame {
public:
    VideoFrame(const vek::sdk::analytics::IUncompressedVideoFrame1& frame, ImageOrder layout);
    // Takes an RGB float image as it is (images returned by external preprocessors).
    VideoFrame(std::span<const uint8_t> bytes, uint64_t width, uint64_t height, ImageOrder layout);

    uint64_t width() const { return imageWidth; }
    uint64_t height() const { return imageHeight; }
    ImageOrder layout() const { return imageLayout; }
    std::span<const uint8_t> data() const { return imageData; }

    // Floats: width x height x 3, or one gray plane when channels is 1.
    std::vector<uint8_t> processImage(int width, int height, int channels, ImageOrder order,
                                      const CropBox& crop, ResizingMethod method, const ChannelValues& means,
                                      const ChannelValues& vars) const;
    // Bytes: width x height x 3.
    std::vector<uint8_t> processImageUint8(int width, int height, ImageOrder order, const CropBox& crop,
                                           ResizingMethod method) const;

    // The same into a caller's buffer of floatResultBytes() or byteResultBytes().
    void processImageInto(int width, int height, int channels, ImageOrder order, const CropBox& crop,
                          ResizingMethod method, const ChannelValues& means, const ChannelValues& vars,
                          float* output) const;
    void processImageUint8Into(int width, int height, ImageOrder order, const CropBox& crop,
                               ResizingMethod method, uint8_t* output) const;

    static void convertYUVtoFloat(const vek::sdk::analytics::IUncompressedVideoFrame1& frame,
                                  ImageOrder layout, std::vector<uint8_t>& output);
    static void resizeFloatImage(std::span<const uint8_t> source, int sourceWidth, int sourceHeight,
                                 ImageOrder sourceOrder, int width, int height, ImageOrder order,
                                 const CropBox& crop, ResizingMethod method, const ChannelValues& means,
                                 const ChannelValues& vars, std::vector<uint8_t>& output);
    static void resizeFloatToUint8Image(std::span<const uint8_t> source, int sourceWidth, int sourceHeight,
                                        ImageOrder sourceOrder, int width, int height, ImageOrder order,
                                        const CropBox& crop, ResizingMethod method,
                                        std::vector<uint8_t>& output);

    // Equal to processImage / processImageUint8 of a VideoFrame built from the same host frame.
    static std::vector<uint8_t> directPreprocess(const vek::sdk::analytics::IUncompressedVideoFrame1& frame,
                                                 ImageOrder order, int width, int height, int channels,
                                                 const CropBox& crop, ResizingMethod method,
                                                 const ChannelValues& means, const ChannelValues& vars);
    static std::vector<uint8_t> directPreprocessUint8(
        const vek::sdk::analytics::IUncompressedVideoFrame1& frame, int width, int height,
        const CropBox& crop, ResizingMethod method);

    static void directPreprocessInto(const vek::sdk::analytics::IUncompressedVideoFrame1& frame,
                                     ImageOrder order, int width, int height, int channels,
                                     const CropBox& crop, ResizingMethod method, const ChannelValues& means,
                                     const ChannelValues& vars, float* output, SimdLevel level);
    static void directPreprocessUint8Into(const vek::sdk::analytics::IUncompressedVideoFrame1& frame,
                                          int width, int height, const CropBox& crop, ResizingMethod method,
                                          uint8_t* output, SimdLevel level);

    // Result sizes in bytes; a negative or overflowing size throws std::length_error.
    static size_t floatResultBytes(int width, int height, int channels);
    static size_t byteResultBytes(int width, int height);

private:
    uint64_t imageWidth = 0;
    uint64_t imageHeight = 0;
    ImageOrder imageLayout = ImageOrder::Planar;
    std::vector<uint8_t> imageData;
};

}  // namespace vekai
