// Value classes for what the plugin returns to the host: attributes, object and event metadata,
// their packets and best shots, with plain getters and setters.
#pragma once

#include <vek/sdk/analytics/i_metadata_packet.h>
#include <vek/sdk/helpers/ref_countable.h>
#include <cstdint>
#include <string>
#include <vector>

namespace vek::sdk::analytics {

class Attribute : public RefCountable<IAttribute> {
public:
    Attribute(Type type, std::string name, std::string value, float confidence = 1.0f)
        : attributeType(type),
          attributeName(std::move(name)),
          attributeValue(std::move(value)),
          attributeConfidence(confidence) {}
    Type type() const override { return attributeType; }
    const char* name() const override { return attributeName.c_str(); }
    const char* value() const override { return attributeValue.c_str(); }
    float confidence() const override { return attributeConfidence; }

private:
    Type attributeType;
    std::string attributeName;
    std::string attributeValue;
    float attributeConfidence;
};

// Shared storage of type id, confidence and attributes for object and event metadata.
class MetadataFields {
public:
    void setTypeId(std::string value) { typeIdValue = std::move(value); }
    void setConfidence(float value) { confidenceValue = value; }
    void addAttribute(Ptr<Attribute> attribute) { attributes.push_back(std::move(attribute)); }
    void addAttributes(const std::vector<Ptr<Attribute>>& more) {
        attributes.insert(attributes.end(), more.begin(), more.end());
    }

protected:
    const IAttribute* attributeAt(int index) const;

    std::string typeIdValue;
    float confidenceValue = 1.0f;
    std::vector<Ptr<Attribute>> attributes;
};

class ObjectMetadata : public RefCountable<IObjectMetadata>, public MetadataFields {
public:
    const char* typeId() const override { return typeIdValue.c_str(); }
    float confidence() const override { return confidenceValue; }
    int attributeCount() const override { return static_cast<int>(attributes.size()); }
    const IAttribute* attribute(int index) const override { return attributeAt(index); }
    Uuid trackId() const override { return trackIdValue; }
    const char* subtype() const override { return subtypeValue.c_str(); }
    Rect boundingBox() const override { return box; }

    void setTrackId(const Uuid& value) { trackIdValue = value; }
    void setSubtype(std::string value) { subtypeValue = std::move(value); }
    void setBoundingBox(const Rect& value) { box = value; }

private:
    Uuid trackIdValue;
    std::string subtypeValue;
    Rect box;
};

class EventMetadata : public RefCountable<IEventMetadata>, public MetadataFields {
public:
    const char* typeId() const override { return typeIdValue.c_str(); }
    float confidence() const override { return confidenceValue; }
    int attributeCount() const override { return static_cast<int>(attributes.size()); }
    const IAttribute* attribute(int index) const override { return attributeAt(index); }
    const char* caption() const override { return captionValue.c_str(); }
    const char* description() const override { return descriptionValue.c_str(); }
    bool isActive() const override { return active; }
    const char* key() const override { return keyValue.c_str(); }
    Rect boundingBox() const override { return box; }
    Uuid trackId() const override { return trackIdValue; }

    void setCaption(std::string value) { captionValue = std::move(value); }
    void setDescription(std::string value) { descriptionValue = std::move(value); }
    void setIsActive(bool value) { active = value; }
    void setKey(std::string value) { keyValue = std::move(value); }
    void setBoundingBox(const Rect& value) { box = value; }
    void setTrackId(const Uuid& value) { trackIdValue = value; }

private:
    std::string captionValue;
    std::string descriptionValue;
    bool active = false;
    std::string keyValue;
    Rect box;
    Uuid trackIdValue;
};

// A packet of metadata items sharing one timestamp.
template <class PacketInterface, class Item, class ItemInterface>
class MetadataPacket : public RefCountable<PacketInterface> {
public:
    int64_t timestampUs() const override { return timestamp; }
    int flags() const override { return packetFlags; }
    int64_t durationUs() const override { return duration; }
    int count() const override { return static_cast<int>(items.size()); }
    const ItemInterface* at(int index) const override {
        if (index < 0 || index >= count())
            return nullptr;
        Item* item = items[static_cast<size_t>(index)].get();
        item->addRef();
        return item;
    }

    void setTimestampUs(int64_t value) { timestamp = value; }
    void setFlags(int value) { packetFlags = value; }
    void setDurationUs(int64_t value) { duration = value; }
    void addItem(Ptr<Item> item) { items.push_back(std::move(item)); }
    void clear() { items.clear(); }

private:
    int64_t timestamp = 0;
    int packetFlags = 0;
    int64_t duration = 0;
    std::vector<Ptr<Item>> items;
};

using ObjectMetadataPacket = MetadataPacket<IObjectMetadataPacket, ObjectMetadata, IObjectMetadata>;
using EventMetadataPacket = MetadataPacket<IEventMetadataPacket, EventMetadata, IEventMetadata>;

class ObjectTrackBestShotPacket : public RefCountable<IObjectTrackBestShotPacket> {
public:
    ObjectTrackBestShotPacket(const Uuid& trackId, int64_t timestampUs, const Rect& boundingBox = {})
        : track(trackId), timestamp(timestampUs), box(boundingBox) {}
    int64_t timestampUs() const override { return timestamp; }
    Uuid trackId() const override { return track; }
    Rect boundingBox() const override { return box; }
    const char* imageUrl() const override { return url.c_str(); }
    const char* imageData() const override { return image.data(); }
    int imageDataSize() const override { return static_cast<int>(image.size()); }
    const char* imageDataFormat() const override { return format.c_str(); }

    void setTimestampUs(int64_t value) { timestamp = value; }
    void setTrackId(const Uuid& value) { track = value; }
    void setBoundingBox(const Rect& value) { box = value; }
    void setImageUrl(std::string value) { url = std::move(value); }
    void setImage(std::vector<char> data, std::string dataFormat) {
        image = std::move(data);
        format = std::move(dataFormat);
    }

private:
    Uuid track;
    int64_t timestamp;
    Rect box;
    std::string url;
    std::vector<char> image;
    std::string format;
};

}  // namespace vek::sdk::analytics
