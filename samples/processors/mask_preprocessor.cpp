// Sample image preprocessor: blacks out one rectangle of every frame before the model sees it, for
// example a region that must never be analysed. The rectangle comes from the processor's user
// settings "MaskX", "MaskY", "MaskWidth" and "MaskHeight" (fractions of the frame); without them it
// is the top-left quarter.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

#include "processor_loop.h"

namespace {

bool maskImage(const msgpack_object& request, msgpack_packer& answer) {
    const msgpack_object* image = sample::find(request, "ImageData");
    const msgpack_object* data = image ? sample::find(*image, "Data") : nullptr;
    if (data == nullptr || data->type != MSGPACK_OBJECT_BIN)
        return false;
    const uint64_t width = uint64_t(sample::number(sample::find(*image, "Width"), 0));
    const uint64_t height = uint64_t(sample::number(sample::find(*image, "Height"), 0));
    const bool planar = sample::number(sample::find(*image, "Layout"), 0) == 0;
    if (uint64_t(data->via.bin.size) != width * height * 3 * sizeof(float))
        return false;
    std::vector<float> pixels(width * height * 3);
    std::memcpy(pixels.data(), data->via.bin.ptr, data->via.bin.size);

    const auto toColumn = [&](double fraction) {
        return uint64_t(std::clamp(fraction, 0.0, 1.0) * double(width));
    };
    const auto toRow = [&](double fraction) {
        return uint64_t(std::clamp(fraction, 0.0, 1.0) * double(height));
    };
    const double x = sample::setting(request, "MaskX", 0.0);
    const double y = sample::setting(request, "MaskY", 0.0);
    const uint64_t left = toColumn(x);
    const uint64_t right = toColumn(x + sample::setting(request, "MaskWidth", 0.5));
    const uint64_t top = toRow(y);
    const uint64_t bottom = toRow(y + sample::setting(request, "MaskHeight", 0.5));
    for (uint64_t row = top; row < bottom; ++row) {
        for (uint64_t column = left; column < right; ++column) {
            for (uint64_t channel = 0; channel < 3; ++channel) {
                const uint64_t at = planar ? channel * width * height + row * width + column
                                           : (row * width + column) * 3 + channel;
                pixels[at] = 0.0f;
            }
        }
    }

    // The answer has the layout of the request.
    msgpack_pack_map(&answer, 4);
    sample::packCorrelation(answer, request);
    sample::packText(answer, "DeviceName");
    sample::packText(answer, sample::text(sample::find(request, "DeviceName")));
    sample::packText(answer, "ImageData");
    msgpack_pack_map(&answer, 4);
    for (const char* key : {"Height", "Width", "Layout"}) {
        sample::packText(answer, key);
        msgpack_pack_object(&answer, *sample::find(*image, key));
    }
    sample::packText(answer, "Data");
    msgpack_pack_bin(&answer, pixels.size() * sizeof(float));
    msgpack_pack_bin_body(&answer, pixels.data(), pixels.size() * sizeof(float));
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    return sample::serve(argc, argv, maskImage);
}
