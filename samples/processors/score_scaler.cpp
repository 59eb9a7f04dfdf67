// Sample tensor postprocessor: multiplies the float values of the model's score outputs by a factor
// before the plugin decodes them, for example to make a model more or less eager. The factor is the
// user setting "Factor", else the command-line option --Factor (from "Config"), else 0.5; outputs
// are chosen by the option --Tensor, a part of their name (default "scores").
#include <cstring>
#include <string>
#include <vector>

#include "processor_loop.h"

int main(int argc, char** argv) {
    const double defaultFactor = std::stod(sample::option(argc, argv, "--Factor", "0.5"));
    const std::string selected = sample::option(argc, argv, "--Tensor", "scores");
    constexpr uint64_t kFloat32 = 1;

    return sample::serve(argc, argv, [&](const msgpack_object& request, msgpack_packer& answer) {
        const msgpack_object* tensors = sample::find(request, "Tensors");
        const msgpack_object* shapes = sample::find(request, "TensorShapes");
        const msgpack_object* types = sample::find(request, "TensorDataTypes");
        if (tensors == nullptr || tensors->type != MSGPACK_OBJECT_MAP || shapes == nullptr ||
            types == nullptr || types->type != MSGPACK_OBJECT_ARRAY ||
            types->via.array.size != tensors->via.map.size)
            return false;
        const float factor = float(sample::setting(request, "Factor", defaultFactor));

        // The answer has the layout of the request: every tensor goes back, changed or not.
        msgpack_pack_map(&answer, 6);
        sample::packCorrelation(answer, request);
        sample::packText(answer, "DeviceName");
        sample::packText(answer, sample::text(sample::find(request, "DeviceName")));
        sample::packText(answer, "Tensors");
        msgpack_pack_map(&answer, tensors->via.map.size);
        for (uint32_t i = 0; i < tensors->via.map.size; ++i) {
            const msgpack_object& name = tensors->via.map.ptr[i].key;
            const msgpack_object& data = tensors->via.map.ptr[i].val;
            msgpack_pack_object(&answer, name);
            if (data.type != MSGPACK_OBJECT_BIN) {
                msgpack_pack_object(&answer, data);
                continue;
            }
            std::vector<char> bytes(data.via.bin.ptr, data.via.bin.ptr + data.via.bin.size);
            const bool scale = types->via.array.ptr[i].type == MSGPACK_OBJECT_POSITIVE_INTEGER &&
                               types->via.array.ptr[i].via.u64 == kFloat32 &&
                               std::string(sample::text(&name)).find(selected) != std::string::npos;
            for (size_t at = 0; scale && at + sizeof(float) <= bytes.size(); at += sizeof(float)) {
                float value;
                std::memcpy(&value, &bytes[at], sizeof value);
                value *= factor;
                std::memcpy(&bytes[at], &value, sizeof value);
            }
            msgpack_pack_bin(&answer, bytes.size());
            msgpack_pack_bin_body(&answer, bytes.data(), bytes.size());
        }
        sample::packText(answer, "TensorShapes");
        msgpack_pack_object(&answer, *shapes);
        sample::packText(answer, "TensorDataTypes");
        msgpack_pack_object(&answer, *types);
        return true;
    });
}
