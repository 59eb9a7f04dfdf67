#include "vekai_utilities/external_processor_utilities.h"

#include <cstring>
#include <limits>
#include <new>

#include "corvane/vekai_corvane_utils.h"
#include "vekai_utilities/vekai_utils.h"

namespace vekai {

namespace {

constexpr size_t kMaxTensorNameBytes = 2047;

uint64_t readBigEndian(const uint8_t* bytes, size_t width) {
    uint64_t value = 0;
    for (size_t i = 0; i < width; ++i)
        value = (value << 8) | bytes[i];
    return value;
}

// Walks the encoded items without building anything, so that no count or length read from the
// message is trusted before it is known to fit in the bytes that remain.
bool isWellFormedDocument(std::span<const uint8_t> message) {
    const size_t size = message.size();
    size_t position = 0;
    uint64_t pending = 1;
    while (pending > 0) {
        if (position >= size)
            return false;
        const uint8_t head = message[position++];
        --pending;
        uint64_t lengthWidth = 0;  // bytes of a length field that follows the head
        uint64_t payload = 0;      // bytes after the length field
        uint64_t children = 0;
        if (head <= 0x7f || head >= 0xe0 || head == 0xc0 || head == 0xc2 || head == 0xc3) {
        } else if (head <= 0x8f) {
            children = 2 * uint64_t(head & 0x0f);
        } else if (head <= 0x9f) {
            children = head & 0x0f;
        } else if (head <= 0xbf) {
            payload = head & 0x1f;
        } else {
            switch (head) {
                case 0xc4:
                case 0xd9:
                    lengthWidth = 1;
                    break;
                case 0xc5:
                case 0xda:
                    lengthWidth = 2;
                    break;
                case 0xc6:
                case 0xdb:
                    lengthWidth = 4;
                    break;
                case 0xc7:
                    lengthWidth = 1;
                    payload = 1;
                    break;
                case 0xc8:
                    lengthWidth = 2;
                    payload = 1;
                    break;
                case 0xc9:
                    lengthWidth = 4;
                    payload = 1;
                    break;
                case 0xca:
                    payload = 4;
                    break;
                case 0xcb:
                    payload = 8;
                    break;
                case 0xcc:
                case 0xd0:
                    payload = 1;
                    break;
                case 0xcd:
                case 0xd1:
                    payload = 2;
                    break;
                case 0xce:
                case 0xd2:
                    payload = 4;
                    break;
                case 0xcf:
                case 0xd3:
                    payload = 8;
                    break;
                case 0xd4:
                    payload = 2;
                    break;
                case 0xd5:
                    payload = 3;
                    break;
                case 0xd6:
                    payload = 5;
                    break;
                case 0xd7:
                    payload = 9;
                    break;
                case 0xd8:
                    payload = 17;
                    break;
                case 0xdc:
                case 0xdd:
                case 0xde:
                case 0xdf:
                    break;
                default:
                    return false;  // 0xc1 is never used
            }
            if (head >= 0xdc) {
                const size_t width = head == 0xdc || head == 0xde ? 2 : 4;
                if (size - position < width)
                    return false;
                const uint64_t count = readBigEndian(&message[position], width);
                position += width;
                children = head >= 0xde ? 2 * count : count;
            }
        }
        if (lengthWidth > 0) {
            if (size - position < lengthWidth)
                return false;
            payload += readBigEndian(&message[position], lengthWidth);
            position += lengthWidth;
        }
        if (size - position < payload)
            return false;
        position += payload;
        pending += children;
        // Every pending item takes at least one byte.
        if (pending > size - position)
            return false;
    }
    return position == size;
}

std::optional<std::string_view> textOf(const msgpack_object& value) {
    if (value.type != MSGPACK_OBJECT_STR)
        return std::nullopt;
    return std::string_view(value.via.str.ptr, value.via.str.size);
}

// width x height x 3 floats, or none when that does not fit in 64 bits.
std::optional<uint64_t> imageBytes(uint64_t width, uint64_t height) {
    constexpr uint64_t kPixelBytes = 3 * sizeof(float);
    if (height != 0 && width > std::numeric_limits<uint64_t>::max() / kPixelBytes / height)
        return std::nullopt;
    return width * height * kPixelBytes;
}

}  // namespace

MessageWriter::MessageWriter() {
    msgpack_sbuffer_init(&buffer);
    msgpack_packer_init(&packer, &buffer, msgpack_sbuffer_write);
}

MessageWriter::~MessageWriter() {
    msgpack_sbuffer_destroy(&buffer);
}

void MessageWriter::map(size_t entries) {
    failed = failed || entries > std::numeric_limits<uint32_t>::max();
    check(msgpack_pack_map(&packer, entries));
}

void MessageWriter::array(size_t entries) {
    failed = failed || entries > std::numeric_limits<uint32_t>::max();
    check(msgpack_pack_array(&packer, entries));
}

void MessageWriter::text(std::string_view value) {
    failed = failed || value.size() > std::numeric_limits<uint32_t>::max();
    check(msgpack_pack_str(&packer, value.size()));
    check(msgpack_pack_str_body(&packer, value.data(), value.size()));
}

void MessageWriter::bytes(std::span<const uint8_t> value) {
    failed = failed || value.size() > std::numeric_limits<uint32_t>::max();
    check(msgpack_pack_bin(&packer, value.size()));
    check(msgpack_pack_bin_body(&packer, value.data(), value.size()));
}

void MessageWriter::integer(int64_t value) {
    check(msgpack_pack_int64(&packer, value));
}
void MessageWriter::unsignedInteger(uint64_t value) {
    check(msgpack_pack_uint64(&packer, value));
}
void MessageWriter::real(float value) {
    check(msgpack_pack_float(&packer, value));
}
void MessageWriter::boolean(bool value) {
    check(value ? msgpack_pack_true(&packer) : msgpack_pack_false(&packer));
}

void MessageWriter::nil() {
    check(msgpack_pack_nil(&packer));
}

void MessageWriter::settings(const UserSettings& values) {
    map(values.size());
    for (const auto& [name, value] : values) {
        text(name);
        text(value);
    }
}

void MessageWriter::requestHeader(int64_t timestampUs, std::string_view deviceId,
                                  std::string_view deviceName) {
    text("Timestamp");
    integer(timestampUs);
    text("DeviceID");
    text(deviceId);
    text("DeviceName");
    text(deviceName);
}

std::optional<EncodedMessage> MessageWriter::finish() {
    if (failed)
        return std::nullopt;
    const size_t size = buffer.size;
    char* data = msgpack_sbuffer_release(&buffer);
    if (data == nullptr)
        return std::nullopt;
    return EncodedMessage(data, size);
}

MessageTree::MessageTree(std::span<const uint8_t> message) {
    msgpack_unpacked_init(&unpacked);
    if (message.empty() || !isWellFormedDocument(message))
        return;
    size_t offset = 0;
    const msgpack_unpack_return status = msgpack_unpack_next(
        &unpacked, reinterpret_cast<const char*>(message.data()), message.size(), &offset);
    parsed = status == MSGPACK_UNPACK_SUCCESS && offset == message.size() &&
             unpacked.data.type == MSGPACK_OBJECT_MAP;
}

MessageTree::~MessageTree() {
    msgpack_unpacked_destroy(&unpacked);
}

const msgpack_object* MessageTree::find(const msgpack_object& map, std::string_view key) {
    if (map.type != MSGPACK_OBJECT_MAP)
        return nullptr;
    for (uint32_t i = 0; i < map.via.map.size; ++i) {
        const msgpack_object_kv& entry = map.via.map.ptr[i];
        if (textOf(entry.key) == key)
            return &entry.val;
    }
    return nullptr;
}

std::optional<std::string_view> MessageTree::asText(const msgpack_object* value) {
    return value == nullptr ? std::nullopt : textOf(*value);
}

std::optional<std::span<const uint8_t>> MessageTree::asBytes(const msgpack_object* value) {
    if (value == nullptr || value->type != MSGPACK_OBJECT_BIN)
        return std::nullopt;
    return std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(value->via.bin.ptr),
                                    value->via.bin.size);
}

std::optional<int64_t> MessageTree::asInteger(const msgpack_object* value) {
    if (value == nullptr)
        return std::nullopt;
    if (value->type == MSGPACK_OBJECT_NEGATIVE_INTEGER)
        return value->via.i64;
    if (value->type == MSGPACK_OBJECT_POSITIVE_INTEGER &&
        value->via.u64 <= uint64_t(std::numeric_limits<int64_t>::max()))
        return int64_t(value->via.u64);
    return std::nullopt;
}

std::optional<uint64_t> MessageTree::asUnsigned(const msgpack_object* value) {
    if (value == nullptr || value->type != MSGPACK_OBJECT_POSITIVE_INTEGER)
        return std::nullopt;
    return value->via.u64;
}

std::optional<double> MessageTree::asNumber(const msgpack_object* value) {
    if (value == nullptr)
        return std::nullopt;
    switch (value->type) {
        case MSGPACK_OBJECT_POSITIVE_INTEGER:
            return double(value->via.u64);
        case MSGPACK_OBJECT_NEGATIVE_INTEGER:
            return double(value->via.i64);
        case MSGPACK_OBJECT_FLOAT32:
        case MSGPACK_OBJECT_FLOAT64:
            return value->via.f64;
        default:
            return std::nullopt;
    }
}

std::optional<bool> MessageTree::asBool(const msgpack_object* value) {
    if (value == nullptr || value->type != MSGPACK_OBJECT_BOOLEAN)
        return std::nullopt;
    return value->via.boolean;
}

UserSettings MessageTree::textMap(const msgpack_object& map) {
    UserSettings values;
    if (map.type != MSGPACK_OBJECT_MAP)
        return values;
    for (uint32_t i = 0; i < map.via.map.size; ++i) {
        const auto name = textOf(map.via.map.ptr[i].key);
        const auto value = textOf(map.via.map.ptr[i].val);
        if (name && value)
            values.emplace(*name, *value);
    }
    return values;
}

std::optional<EncodedMessage> writeImagePreprocessorMessage(const ImagePreprocessorMessage& message) {
    MessageWriter writer;
    writer.map(message.userSettings.empty() ? 4 : 5);
    writer.requestHeader(message.timestampUs, message.deviceId, message.deviceName);
    writer.text("ImageData");
    writer.map(4);
    writer.text("Height");
    writer.unsignedInteger(message.height);
    writer.text("Width");
    writer.unsignedInteger(message.width);
    writer.text("Layout");
    writer.integer(message.layout);
    writer.text("Data");
    writer.bytes(message.data);
    if (!message.userSettings.empty()) {
        writer.text("UserSettings");
        writer.settings(message.userSettings);
    }
    std::optional<EncodedMessage> encoded = writer.finish();
    if (!encoded)
        vekai_vlog("Error: Failed to serialize image for preprocessor.\n");
    return encoded;
}

std::optional<ImagePreprocessorMessage> parseImagePreprocessorMessage(std::span<const uint8_t> message) {
    const MessageTree tree(message);
    const msgpack_object* root = tree.root();
    const auto invalid = [] {
        vekai_vlog("Error! Invalid image message received. Ignoring.\n");
        return std::nullopt;
    };
    if (root == nullptr)
        return invalid();
    const auto timestamp = MessageTree::asInteger(MessageTree::find(*root, "Timestamp"));
    const auto deviceId = MessageTree::asText(MessageTree::find(*root, "DeviceID"));
    const auto deviceName = MessageTree::asText(MessageTree::find(*root, "DeviceName"));
    const msgpack_object* image = MessageTree::find(*root, "ImageData");
    if (!timestamp || !deviceId || !deviceName || !MessageTree::isMap(image))
        return invalid();
    const auto height = MessageTree::asUnsigned(MessageTree::find(*image, "Height"));
    const auto width = MessageTree::asUnsigned(MessageTree::find(*image, "Width"));
    const auto layout = MessageTree::asInteger(MessageTree::find(*image, "Layout"));
    const auto data = MessageTree::asBytes(MessageTree::find(*image, "Data"));
    if (!height || !width || !layout || !data)
        return invalid();
    const auto expectedBytes = imageBytes(*width, *height);
    if ((*layout != ImageOrder::Planar && *layout != ImageOrder::Interleaved) || !expectedBytes ||
        *expectedBytes != data->size())
        return invalid();

    ImagePreprocessorMessage result;
    result.timestampUs = *timestamp;
    result.deviceId = *deviceId;
    result.deviceName = *deviceName;
    result.height = *height;
    result.width = *width;
    result.layout = int32_t(*layout);
    result.data.assign(data->begin(), data->end());
    if (const msgpack_object* settings = MessageTree::find(*root, "UserSettings");
        MessageTree::isMap(settings))
        result.userSettings = MessageTree::textMap(*settings);
    return result;
}

std::optional<EncodedMessage> writeTensorsMessageMpack(const InferenceInput_t& request,
                                                       const Tensors* tensors,
                                                       const UserSettings& userSettings) {
    const std::span<const Tensor> entries = tensor_entries(tensors);
    const auto failure = [] {
        vekai_vlog("Error: Failed to serialize objects for postprocessor\n");
        return std::nullopt;
    };
    for (const Tensor& entry : entries) {
        if (entry.name == nullptr || (entry.data == nullptr && entry.size > 0) || entry.rank < 0 ||
            (entry.rank > 0 && entry.shape == nullptr))
            return failure();
    }
    const std::string deviceId = request.details ? request.details->deviceId : std::string();
    const std::string deviceName = request.details ? request.details->deviceName : std::string();

    MessageWriter writer;
    writer.map(userSettings.empty() ? 6 : 7);
    writer.requestHeader(request.timestampUs, deviceId, deviceName);
    writer.text("Tensors");
    writer.map(entries.size());
    for (const Tensor& entry : entries) {
        writer.text(entry.name);
        writer.bytes(
            {static_cast<const uint8_t*>(entry.data), entry.data == nullptr ? 0 : size_t(entry.size)});
    }
    writer.text("TensorShapes");
    writer.array(entries.size());
    for (const Tensor& entry : entries) {
        const std::span<const int32_t> dims = tensor_dims(entry);
        writer.array(dims.size());
        for (int32_t dim : dims)
            writer.integer(dim);
    }
    writer.text("TensorDataTypes");
    writer.array(entries.size());
    for (const Tensor& entry : entries)
        writer.integer(entry.type);
    if (!userSettings.empty()) {
        writer.text("UserSettings");
        writer.settings(userSettings);
    }
    std::optional<EncodedMessage> encoded = writer.finish();
    if (!encoded)
        return failure();
    return encoded;
}

TensorsPtr parseTensorsMessageMpack(std::span<const uint8_t> message) {
    const MessageTree tree(message);
    const msgpack_object* root = tree.root();
    if (root == nullptr) {
        vekai_vlog("Error: failed to parse incoming tensor message\n");
        return nullptr;
    }
    const msgpack_object* tensors = MessageTree::find(*root, "Tensors");
    if (!MessageTree::isMap(tensors)) {
        vekai_vlog("Error: missing or invalid fields in tensor message\n");
        return nullptr;
    }
    const auto readError = [] {
        vekai_vlog("Error: failed to read tensor fields from message\n");
        return nullptr;
    };
    const msgpack_object* shapes = MessageTree::find(*root, "TensorShapes");
    const msgpack_object* types = MessageTree::find(*root, "TensorDataTypes");
    const uint32_t count = tensors->via.map.size;
    if (!MessageTree::isArray(shapes) || !MessageTree::isArray(types) || shapes->via.array.size != count ||
        types->via.array.size != count || count > uint32_t(std::numeric_limits<int32_t>::max()))
        return readError();

    try {
        TensorsPtr set = allocate_tensors(0, int32_t(count));
        for (uint32_t i = 0; i < count; ++i) {
            const auto name = textOf(tensors->via.map.ptr[i].key);
            const auto data = MessageTree::asBytes(&tensors->via.map.ptr[i].val);
            const auto type = MessageTree::asInteger(&types->via.array.ptr[i]);
            const msgpack_object& shape = shapes->via.array.ptr[i];
            if (!name || name->size() > kMaxTensorNameBytes || name->find('\0') != std::string_view::npos ||
                !data || !type || *type < TENSOR_TYPE_UNDEFINED || *type > TENSOR_TYPE_UINT64 ||
                shape.type != MSGPACK_OBJECT_ARRAY)
                return readError();
            std::vector<int32_t> dims;
            for (uint32_t d = 0; d < shape.via.array.size; ++d) {
                const auto dim = MessageTree::asInteger(&shape.via.array.ptr[d]);
                if (!dim || *dim < std::numeric_limits<int32_t>::min() ||
                    *dim > std::numeric_limits<int32_t>::max())
                    return readError();
                dims.push_back(int32_t(*dim));
            }
            Tensor& entry = set->tensors[i];
            fill_tensor(entry, std::string(*name).c_str(), TensorElementType(*type), dims, data->data(),
                        data->size());
            if (const TensorFault fault = check_tensor(entry); fault != TensorFault::None) {
                vekai_vlog("Warning! Tensor %s of a tensor message: %s.\n", entry.name,
                           tensor_fault_text(fault));
                return readError();
            }
        }
        return set;
    } catch (const std::bad_alloc&) {
        return readError();
    }
}

}  // namespace vekai

namespace Utils {

std::string makeCorrelationKey(std::string_view deviceId, int64_t timestampUs) {
    std::string key(deviceId);
    key += '|';
    key += std::to_string(timestampUs);
    return key;
}

std::optional<std::string> parseCorrelationKey(std::span<const uint8_t> message) {
    const vekai::MessageTree tree(message);
    const msgpack_object* root = tree.root();
    if (root == nullptr)
        return std::nullopt;
    const auto timestamp = vekai::MessageTree::asInteger(vekai::MessageTree::find(*root, "Timestamp"));
    const auto deviceId = vekai::MessageTree::asText(vekai::MessageTree::find(*root, "DeviceID"));
    if (!timestamp || !deviceId)
        return std::nullopt;
    return makeCorrelationKey(*deviceId, *timestamp);
}

}  // namespace Utils
