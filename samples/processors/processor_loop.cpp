#include "processor_loop.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "vekai_external_peer.h"

namespace sample {

namespace {

// Parses one request and builds its answer; empty when there is nothing to send.
std::vector<char> answerTo(const Handler& handler, const void* data, size_t length) {
    std::vector<char> answer;
    msgpack_unpacked request;
    msgpack_unpacked_init(&request);
    size_t offset = 0;
    if (msgpack_unpack_next(&request, static_cast<const char*>(data), length, &offset) ==
            MSGPACK_UNPACK_SUCCESS &&
        request.data.type == MSGPACK_OBJECT_MAP) {
        msgpack_sbuffer buffer;
        msgpack_sbuffer_init(&buffer);
        msgpack_packer packer;
        msgpack_packer_init(&packer, &buffer, msgpack_sbuffer_write);
        if (handler(request.data, packer))
            answer.assign(buffer.data, buffer.data + buffer.size);
        msgpack_sbuffer_destroy(&buffer);
    }
    msgpack_unpacked_destroy(&request);
    return answer;
}

int serveChannel(const char* requestChannel, const char* responseChannel, const Handler& handler) {
    vekai_peer_channel* requests = nullptr;
    vekai_peer_channel* responses = nullptr;
    if (vekai_peer_open(requestChannel, &requests) != VEKAI_IPC_OK ||
        vekai_peer_open(responseChannel, &responses) != VEKAI_IPC_OK) {
        std::fprintf(stderr, "cannot open the plugin's channels\n");
        return 1;
    }
    vekai_peer_announce_ready(requests);
    const void* data = nullptr;
    uint32_t length = 0;
    int status;
    while ((status = vekai_peer_receive(requests, 1000, &data, &length)) != VEKAI_PEER_KILL_REQUESTED) {
        if (status != VEKAI_IPC_OK)
            continue;
        // The plugin waits for the release before it sends again, so copy and release first.
        const std::vector<char> request(static_cast<const char*>(data),
                                        static_cast<const char*>(data) + length);
        vekai_peer_release(requests);
        const std::vector<char> answer = answerTo(handler, request.data(), request.size());
        if (!answer.empty())
            vekai_peer_send(responses, answer.data(), uint32_t(answer.size()));
    }
    vekai_peer_close(requests);
    vekai_peer_close(responses);
    return 0;
}

int serveTcp(uint16_t port, const Handler& handler) {
    int listener = -1;
    uint16_t bound = 0;
    if (vekai_peer_tcp_listen(port, &listener, &bound) != VEKAI_IPC_OK) {
        std::fprintf(stderr, "cannot listen on port %u\n", unsigned(port));
        return 1;
    }
    std::printf("listening on 127.0.0.1:%u\n", unsigned(bound));
    std::fflush(stdout);
    int connection = -1;
    while (vekai_peer_tcp_accept(listener, &connection) == VEKAI_IPC_OK) {
        vekai_peer_buffer message{};
        while (vekai_peer_tcp_receive(connection, &message) == VEKAI_IPC_OK) {
            const std::vector<char> answer = answerTo(handler, message.data, message.length);
            if (!answer.empty())
                vekai_peer_tcp_send(connection, answer.data(), uint32_t(answer.size()));
        }
        vekai_peer_buffer_free(&message);
        close(connection);
    }
    close(listener);
    return 0;
}

}  // namespace

std::string option(int argc, char** argv, std::string_view name, std::string_view fallback) {
    for (int i = 1; i + 1 < argc; ++i)
        if (name == argv[i])
            return argv[i + 1];
    return std::string(fallback);
}

int serve(int argc, char** argv, const Handler& handler) {
    if (argc >= 3 && std::strcmp(argv[1], "--tcp") == 0)
        return serveTcp(uint16_t(std::atoi(argv[2])), handler);
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s <request channel> <response channel> | --tcp <port>\n", argv[0]);
        return 2;
    }
    return serveChannel(argv[1], argv[2], handler);
}

const msgpack_object* find(const msgpack_object& map, std::string_view key) {
    if (map.type != MSGPACK_OBJECT_MAP)
        return nullptr;
    for (uint32_t i = 0; i < map.via.map.size; ++i) {
        const msgpack_object& entry = map.via.map.ptr[i].key;
        if (entry.type == MSGPACK_OBJECT_STR &&
            std::string_view(entry.via.str.ptr, entry.via.str.size) == key)
            return &map.via.map.ptr[i].val;
    }
    return nullptr;
}

std::string_view text(const msgpack_object* value) {
    if (value == nullptr || value->type != MSGPACK_OBJECT_STR)
        return {};
    return {value->via.str.ptr, value->via.str.size};
}

double number(const msgpack_object* value, double fallback) {
    if (value == nullptr)
        return fallback;
    switch (value->type) {
        case MSGPACK_OBJECT_POSITIVE_INTEGER:
            return double(value->via.u64);
        case MSGPACK_OBJECT_NEGATIVE_INTEGER:
            return double(value->via.i64);
        case MSGPACK_OBJECT_FLOAT32:
        case MSGPACK_OBJECT_FLOAT64:
            return value->via.f64;
        default:
            return fallback;
    }
}

double setting(const msgpack_object& request, std::string_view name, double fallback) {
    const std::string value(
        text(find(request, "UserSettings") ? find(*find(request, "UserSettings"), name) : nullptr));
    char* end = nullptr;
    const double parsed = std::strtod(value.c_str(), &end);
    return value.empty() || *end != '\0' ? fallback : parsed;
}

void packText(msgpack_packer& packer, std::string_view value) {
    msgpack_pack_str(&packer, value.size());
    msgpack_pack_str_body(&packer, value.data(), value.size());
}

void packCorrelation(msgpack_packer& packer, const msgpack_object& request) {
    packText(packer, "Timestamp");
    const msgpack_object* timestamp = find(request, "Timestamp");
    if (timestamp != nullptr)
        msgpack_pack_object(&packer, *timestamp);
    else
        msgpack_pack_nil(&packer);
    packText(packer, "DeviceID");
    packText(packer, text(find(request, "DeviceID")));
}

}  // namespace sample
