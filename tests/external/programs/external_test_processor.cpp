// A stand-in external processor built only on the peer library and msgpack-c, as a user's program
// would be. Its --ProcessorName chooses what it does with each request:
//   invert   image message back with every value v replaced by 1 - v
//   double   tensors message back with every float doubled
//   tagger   objects answer: each object gets the attribute tag=seen, plus one event and one best shot
//   wrongkey answers the image request under another device id
//   late     answers the image request after 400 ms
//   dies     exits on its first request
//
//   external_test_processor <request channel> <response channel> [--x y ...] --ProcessorName NAME
//   external_test_processor --tcp PORTFILE --ProcessorName NAME
#include <msgpack.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "vekai_external_peer.h"

namespace {

const msgpack_object* find(const msgpack_object& map, std::string_view key) {
    if (map.type != MSGPACK_OBJECT_MAP)
        return nullptr;
    for (uint32_t i = 0; i < map.via.map.size; ++i) {
        const msgpack_object& k = map.via.map.ptr[i].key;
        if (k.type == MSGPACK_OBJECT_STR && std::string_view(k.via.str.ptr, k.via.str.size) == key)
            return &map.via.map.ptr[i].val;
    }
    return nullptr;
}

struct Packer {
    Packer() {
        msgpack_sbuffer_init(&buffer);
        msgpack_packer_init(&pk, &buffer, msgpack_sbuffer_write);
    }
    ~Packer() { msgpack_sbuffer_destroy(&buffer); }
    void text(std::string_view s) {
        msgpack_pack_str(&pk, s.size());
        msgpack_pack_str_body(&pk, s.data(), s.size());
    }
    void object(const msgpack_object& o) { msgpack_pack_object(&pk, o); }
    msgpack_sbuffer buffer;
    msgpack_packer pk;
};

void header(Packer& out, const msgpack_object& root, bool wrongKey) {
    out.text("Timestamp");
    out.object(*find(root, "Timestamp"));
    out.text("DeviceID");
    if (wrongKey)
        out.text("another-device");
    else
        out.object(*find(root, "DeviceID"));
    out.text("DeviceName");
    out.object(*find(root, "DeviceName"));
}

void answerImage(Packer& out, const msgpack_object& root, bool wrongKey) {
    const msgpack_object& image = *find(root, "ImageData");
    const msgpack_object& data = *find(image, "Data");
    std::vector<float> values(data.via.bin.size / sizeof(float));
    std::memcpy(values.data(), data.via.bin.ptr, values.size() * sizeof(float));
    for (float& v : values)
        v = 1.0f - v;
    msgpack_pack_map(&out.pk, 4);
    header(out, root, wrongKey);
    out.text("ImageData");
    msgpack_pack_map(&out.pk, 4);
    for (const char* key : {"Height", "Width", "Layout"}) {
        out.text(key);
        out.object(*find(image, key));
    }
    out.text("Data");
    msgpack_pack_bin(&out.pk, values.size() * sizeof(float));
    msgpack_pack_bin_body(&out.pk, values.data(), values.size() * sizeof(float));
}

void answerTensors(Packer& out, const msgpack_object& root) {
    const msgpack_object& tensors = *find(root, "Tensors");
    const msgpack_object& types = *find(root, "TensorDataTypes");
    msgpack_pack_map(&out.pk, 6);
    header(out, root, false);
    out.text("Tensors");
    msgpack_pack_map(&out.pk, tensors.via.map.size);
    for (uint32_t i = 0; i < tensors.via.map.size; ++i) {
        out.object(tensors.via.map.ptr[i].key);
        const msgpack_object& data = tensors.via.map.ptr[i].val;
        std::vector<char> bytes(data.via.bin.ptr, data.via.bin.ptr + data.via.bin.size);
        if (types.via.array.ptr[i].via.u64 == 1) {
            for (size_t at = 0; at + sizeof(float) <= bytes.size(); at += sizeof(float)) {
                float v;
                std::memcpy(&v, &bytes[at], sizeof v);
                v *= 2;
                std::memcpy(&bytes[at], &v, sizeof v);
            }
        }
        msgpack_pack_bin(&out.pk, bytes.size());
        msgpack_pack_bin_body(&out.pk, bytes.data(), bytes.size());
    }
    out.text("TensorShapes");
    out.object(*find(root, "TensorShapes"));
    out.text("TensorDataTypes");
    out.object(types);
}

void answerObjects(Packer& out, const msgpack_object& root) {
    const msgpack_object& objects = *find(root, "Objects");
    msgpack_pack_map(&out.pk, 6);
    header(out, root, false);
    out.text("Objects");
    msgpack_pack_map(&out.pk, objects.via.map.size);
    const msgpack_object* firstId = nullptr;
    for (uint32_t c = 0; c < objects.via.map.size; ++c) {
        out.object(objects.via.map.ptr[c].key);
        const msgpack_object& list = objects.via.map.ptr[c].val;
        msgpack_pack_array(&out.pk, list.via.array.size);
        for (uint32_t o = 0; o < list.via.array.size; ++o) {
            const msgpack_object* id = find(list.via.array.ptr[o], "ID");
            firstId = firstId ? firstId : id;
            msgpack_pack_map(&out.pk, 2);
            out.text("ID");
            out.object(*id);
            out.text("attributes");
            msgpack_pack_map(&out.pk, 1);
            out.text("tag");
            out.text("seen");
        }
    }
    out.text("Events");
    msgpack_pack_array(&out.pk, 1);
    msgpack_pack_map(&out.pk, 2);
    out.text("ID");
    out.text("test.tagged");
    out.text("Description");
    out.text("tagged");
    out.text("BestShots");
    msgpack_pack_array(&out.pk, firstId ? 1 : 0);
    if (firstId) {
        msgpack_pack_map(&out.pk, 1);
        out.text("TrackId");
        out.object(*firstId);
    }
}

// False when the program is to exit instead of answering.
bool answer(const std::string& name, const void* data, size_t length, Packer& out) {
    msgpack_unpacked unpacked;
    msgpack_unpacked_init(&unpacked);
    size_t offset = 0;
    if (msgpack_unpack_next(&unpacked, static_cast<const char*>(data), length, &offset) !=
        MSGPACK_UNPACK_SUCCESS) {
        msgpack_unpacked_destroy(&unpacked);
        return true;
    }
    const msgpack_object& root = unpacked.data;
    if (name == "dies")
        std::_Exit(4);
    if (name == "late")
        std::this_thread::sleep_for(std::chrono::milliseconds(400));
    if (name == "invert" || name == "late" || name == "wrongkey")
        answerImage(out, root, name == "wrongkey");
    else if (name == "double")
        answerTensors(out, root);
    else if (name == "tagger")
        answerObjects(out, root);
    msgpack_unpacked_destroy(&unpacked);
    return true;
}

std::string processorName(int argc, char** argv) {
    for (int i = 1; i + 1 < argc; ++i)
        if (std::strcmp(argv[i], "--ProcessorName") == 0)
            return argv[i + 1];
    return {};
}

int serveTcp(const char* portFile, const std::string& name) {
    int listener = -1;
    uint16_t port = 0;
    if (vekai_peer_tcp_listen(0, &listener, &port) != VEKAI_IPC_OK)
        return 2;
    const std::string temporary = std::string(portFile) + ".tmp";
    if (FILE* file = std::fopen(temporary.c_str(), "w")) {
        std::fprintf(file, "%u\n", unsigned(port));
        std::fclose(file);
        std::rename(temporary.c_str(), portFile);
    }
    int connection = -1;
    while (vekai_peer_tcp_accept(listener, &connection) == VEKAI_IPC_OK) {
        vekai_peer_buffer message{};
        while (vekai_peer_tcp_receive(connection, &message) == VEKAI_IPC_OK) {
            Packer out;
            answer(name, message.data, message.length, out);
            if (out.buffer.size > 0)
                vekai_peer_tcp_send(connection, out.buffer.data, uint32_t(out.buffer.size));
        }
        vekai_peer_buffer_free(&message);
        close(connection);
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string name = processorName(argc, argv);
    if (argc >= 3 && std::strcmp(argv[1], "--tcp") == 0)
        return serveTcp(argv[2], name);
    if (argc < 3)
        return 2;
    vekai_peer_channel* requests = nullptr;
    vekai_peer_channel* responses = nullptr;
    if (vekai_peer_open(argv[1], &requests) != VEKAI_IPC_OK ||
        vekai_peer_open(argv[2], &responses) != VEKAI_IPC_OK)
        return 2;
    vekai_peer_announce_ready(requests);
    const void* data = nullptr;
    uint32_t length = 0;
    int status;
    while ((status = vekai_peer_receive(requests, 200, &data, &length)) != VEKAI_PEER_KILL_REQUESTED) {
        if (status != VEKAI_IPC_OK)
            continue;
        // Released at once: the plugin's sender waits for the release, not for the answer.
        const std::vector<char> request(static_cast<const char*>(data),
                                        static_cast<const char*>(data) + length);
        vekai_peer_release(requests);
        Packer out;
        answer(name, request.data(), request.size(), out);
        if (out.buffer.size > 0)
            vekai_peer_send(responses, out.buffer.data, uint32_t(out.buffer.size));
    }
    vekai_peer_close(requests);
    vekai_peer_close(responses);
    return 0;
}
