// The MessagePack documents exchanged with external processor programs (image and tensor messages),
// the correlation key that pairs an answer with its request, and the checked reading they share.
#pragma once

#include <msgpack.h>

#include <cstdint>
#include <cstdlib>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "utils/tensor_utils.h"

struct InferenceInput_t;

namespace vekai {

using UserSettings = std::map<std::string, std::string>;

// An encoded document; its buffer comes from malloc and is released with free.
class EncodedMessage {
public:
    EncodedMessage(char* data, size_t size) : buffer(data), length(size) {}
    std::span<const uint8_t> bytes() const {
        return {reinterpret_cast<const uint8_t*>(buffer.get()), length};
    }

private:
    struct FreeDeleter {
        void operator()(char* data) const { std::free(data); }
    };
    std::unique_ptr<char, FreeDeleter> buffer;
    size_t length;
};

// Growable writer: the first failure sticks, and finish() then yields nothing.
class MessageWriter {
public:
    MessageWriter();
    ~MessageWriter();
    MessageWriter(const MessageWriter&) = delete;
    MessageWriter& operator=(const MessageWriter&) = delete;

    void map(size_t entries);
    void array(size_t entries);
    void text(std::string_view value);
    void bytes(std::span<const uint8_t> value);
    void integer(int64_t value);
    void unsignedInteger(uint64_t value);
    void real(float value);
    void boolean(bool value);
    void nil();
    void settings(const UserSettings& values);
    // Writes "Timestamp", "DeviceID" and "DeviceName" as three map entries.
    void requestHeader(int64_t timestampUs, std::string_view deviceId, std::string_view deviceName);

    std::optional<EncodedMessage> finish();

private:
    void check(int status) { failed = failed || status != 0; }
    msgpack_sbuffer buffer;
    msgpack_packer packer;
    bool failed = false;
};

// One parsed document. Parsing refuses, without allocating for them, documents that are truncated,
// nest too deeply, announce more entries or bytes than the message holds, or carry trailing bytes.
class MessageTree {
public:
    explicit MessageTree(std::span<const uint8_t> message);
    ~MessageTree();
    MessageTree(const MessageTree&) = delete;
    MessageTree& operator=(const MessageTree&) = delete;

    // The top-level map, or null when the document did not parse or is not a map.
    const msgpack_object* root() const { return parsed ? &unpacked.data : nullptr; }

    static const msgpack_object* find(const msgpack_object& map, std::string_view key);
    static std::optional<std::string_view> asText(const msgpack_object* value);
    static std::optional<std::span<const uint8_t>> asBytes(const msgpack_object* value);
    static std::optional<int64_t> asInteger(const msgpack_object* value);
    static std::optional<uint64_t> asUnsigned(const msgpack_object* value);
    // Any integer or float.
    static std::optional<double> asNumber(const msgpack_object* value);
    static std::optional<bool> asBool(const msgpack_object* value);
    static bool isMap(const msgpack_object* value) {
        return value != nullptr && value->type == MSGPACK_OBJECT_MAP;
    }
    static bool isArray(const msgpack_object* value) {
        return value != nullptr && value->type == MSGPACK_OBJECT_ARRAY;
    }
    static bool isNil(const msgpack_object* value) {
        return value != nullptr && value->type == MSGPACK_OBJECT_NIL;
    }
    // Text-to-text entries of a map; other entries are skipped.
    static UserSettings textMap(const msgpack_object& map);

private:
    msgpack_unpacked unpacked;
    bool parsed = false;
};

struct ImagePreprocessorMessage {
    int64_t timestampUs = 0;
    std::string deviceId;
    std::string deviceName;
    uint64_t height = 0;
    uint64_t width = 0;
    int32_t layout = 0;
    std::vector<uint8_t> data;  // RGB floats, width x height x 3
    UserSettings userSettings;
};

std::optional<EncodedMessage> writeImagePreprocessorMessage(const ImagePreprocessorMessage& message);
// Also refuses a layout other than planar or interleaved and data that does not hold exactly
// width x height x 3 floats, since later image operations index the data by those numbers.
std::optional<ImagePreprocessorMessage> parseImagePreprocessorMessage(std::span<const uint8_t> message);

std::optional<EncodedMessage> writeTensorsMessageMpack(const InferenceInput_t& request,
                                                       const Tensors* tensors,
                                                       const UserSettings& userSettings);
// Also refuses entries whose data does not match their shape and element type.
TensorsPtr parseTensorsMessageMpack(std::span<const uint8_t> message);

}  // namespace vekai

namespace Utils {

std::string makeCorrelationKey(std::string_view deviceId, int64_t timestampUs);
std::optional<std::string> parseCorrelationKey(std::span<const uint8_t> message);

}  // namespace Utils
