#include <vekhost/metadata_json.h>

#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <vek/sdk/helpers/uuid_helper.h>
#include <cmath>

namespace vekhost {
namespace {

using namespace vek::sdk::analytics;
using vek::sdk::Ptr;
using Writer = rapidjson::Writer<rapidjson::StringBuffer>;

// Plugin texts may be null; a null text is written as JSON null rather than guessed at.
void text(Writer& writer, const char* key, const char* value) {
    writer.Key(key);
    if (value)
        writer.String(value);
    else
        writer.Null();
}

// JSON has no NaN or infinity; writing them would break the line.
void number(Writer& writer, const char* key, double value) {
    writer.Key(key);
    if (std::isfinite(value))
        writer.Double(value);
    else
        writer.Null();
}

void box(Writer& writer, const Rect& rect) {
    writer.Key("box");
    writer.StartObject();
    number(writer, "x", rect.x);
    number(writer, "y", rect.y);
    number(writer, "w", rect.width);
    number(writer, "h", rect.height);
    writer.EndObject();
}

void trackId(Writer& writer, const vek::sdk::Uuid& uuid) {
    writer.Key("trackId");
    writer.String(vek::sdk::UuidHelper::toStdString(uuid, vek::sdk::UuidHelper::hyphens));
}

void attributes(Writer& writer, const IMetadata& metadata) {
    writer.Key("attributes");
    writer.StartArray();
    for (int i = 0; i < metadata.attributeCount(); ++i) {
        const Ptr<const IAttribute> attribute(metadata.attribute(i));
        if (!attribute)
            continue;
        writer.StartObject();
        text(writer, "name", attribute->name());
        text(writer, "value", attribute->value());
        number(writer, "confidence", attribute->confidence());
        writer.EndObject();
    }
    writer.EndArray();
}

void header(Writer& writer, std::string_view cameraId, const char* type, int64_t timestampUs) {
    writer.Key("camera");
    writer.String(cameraId.data(), static_cast<rapidjson::SizeType>(cameraId.size()));
    writer.Key("type");
    writer.String(type);
    writer.Key("timestampUs");
    writer.Int64(timestampUs);
}

int objects(Writer& writer, const IObjectMetadataPacket& packet) {
    writer.Key("durationUs");
    writer.Int64(packet.durationUs());
    writer.Key("objects");
    writer.StartArray();
    int written = 0;
    for (int i = 0; i < packet.count(); ++i) {
        const Ptr<const IObjectMetadata> object(packet.at(i));
        if (!object)
            continue;
        writer.StartObject();
        text(writer, "typeId", object->typeId());
        number(writer, "confidence", object->confidence());
        trackId(writer, object->trackId());
        text(writer, "subtype", object->subtype());
        box(writer, object->boundingBox());
        attributes(writer, *object);
        writer.EndObject();
        ++written;
    }
    writer.EndArray();
    return written;
}

int events(Writer& writer, const IEventMetadataPacket& packet) {
    writer.Key("durationUs");
    writer.Int64(packet.durationUs());
    writer.Key("events");
    writer.StartArray();
    int written = 0;
    for (int i = 0; i < packet.count(); ++i) {
        const Ptr<const IEventMetadata> event(packet.at(i));
        if (!event)
            continue;
        writer.StartObject();
        text(writer, "typeId", event->typeId());
        number(writer, "confidence", event->confidence());
        text(writer, "caption", event->caption());
        text(writer, "description", event->description());
        writer.Key("isActive");
        writer.Bool(event->isActive());
        text(writer, "key", event->key());
        trackId(writer, event->trackId());
        box(writer, event->boundingBox());
        attributes(writer, *event);
        writer.EndObject();
        ++written;
    }
    writer.EndArray();
    return written;
}

void bestShot(Writer& writer, const IObjectTrackBestShotPacket& packet) {
    trackId(writer, packet.trackId());
    box(writer, packet.boundingBox());
    text(writer, "imageUrl", packet.imageUrl());
    text(writer, "imageDataFormat", packet.imageDataFormat());
    writer.Key("imageDataSize");
    writer.Int(packet.imageDataSize());
}

}  // namespace

PacketDigest digestMetadataPacket(std::string_view cameraId, IMetadataPacket* packet) {
    PacketDigest digest;
    if (!packet)
        return digest;
    digest.timestampUs = packet->timestampUs();

    rapidjson::StringBuffer buffer;
    Writer writer(buffer);
    writer.SetMaxDecimalPlaces(6);
    writer.StartObject();
    if (const auto objectPacket = vek::sdk::toPtr(packet->queryInterface<IObjectMetadataPacket>())) {
        digest.kind = PacketDigest::Kind::objects;
        header(writer, cameraId, "objects", digest.timestampUs);
        digest.itemCount = objects(writer, *objectPacket);
    } else if (const auto eventPacket = vek::sdk::toPtr(packet->queryInterface<IEventMetadataPacket>())) {
        digest.kind = PacketDigest::Kind::events;
        header(writer, cameraId, "events", digest.timestampUs);
        digest.itemCount = events(writer, *eventPacket);
    } else if (const auto shot = vek::sdk::toPtr(packet->queryInterface<IObjectTrackBestShotPacket>())) {
        digest.kind = PacketDigest::Kind::bestShot;
        header(writer, cameraId, "bestShot", digest.timestampUs);
        bestShot(writer, *shot);
    } else {
        header(writer, cameraId, "other", digest.timestampUs);
    }
    writer.EndObject();
    digest.jsonLine = buffer.GetString();
    return digest;
}

}  // namespace vekhost
