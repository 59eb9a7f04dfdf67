// Metadata packets as a plugin builds them (objects, events, best shots, attributes), for tests of
// what the host makes of them.
#pragma once

#include <vek/sdk/analytics/i_metadata_packet.h>
#include <vek/sdk/helpers/ref_countable.h>
#include <string>
#include <utility>
#include <vector>

namespace vekhost::testing {

using namespace vek::sdk::analytics;

struct FakeAttributeValue {
    std::string name;
    std::string value;
    float confidence = 1;
};

class FakeAttribute : public vek::sdk::RefCountable<IAttribute> {
public:
    explicit FakeAttribute(FakeAttributeValue value) : attributeValue(std::move(value)) {}
    Type type() const override { return Type::string; }
    const char* name() const override { return attributeValue.name.c_str(); }
    const char* value() const override { return attributeValue.value.c_str(); }
    float confidence() const override { return attributeValue.confidence; }

private:
    FakeAttributeValue attributeValue;
};

template <class Interface>
class FakeMetadataBase : public vek::sdk::RefCountable<Interface> {
public:
    // Null texts stay null, to test how the host copes with them.
    const char* typeId() const override { return typeIdText; }
    float confidence() const override { return confidenceValue; }
    int attributeCount() const override { return static_cast<int>(attributes.size()); }
    const IAttribute* attribute(int index) const override {
        if (index < 0 || index >= attributeCount())
            return nullptr;
        return new FakeAttribute(attributes[static_cast<size_t>(index)]);
    }

    const char* typeIdText = nullptr;
    float confidenceValue = 0;
    std::vector<FakeAttributeValue> attributes;
};

class FakeObject : public FakeMetadataBase<IObjectMetadata> {
public:
    vek::sdk::Uuid trackId() const override { return track; }
    const char* subtype() const override { return ""; }
    Rect boundingBox() const override { return box; }

    vek::sdk::Uuid track;
    Rect box;
};

class FakeEvent : public FakeMetadataBase<IEventMetadata> {
public:
    const char* caption() const override { return captionText.c_str(); }
    const char* description() const override { return descriptionText.c_str(); }
    bool isActive() const override { return active; }
    const char* key() const override { return ""; }
    Rect boundingBox() const override { return box; }
    vek::sdk::Uuid trackId() const override { return track; }

    std::string captionText;
    std::string descriptionText;
    bool active = false;
    Rect box;
    vek::sdk::Uuid track;
};

template <class Interface, class Item, class ItemInterface>
class FakeItemPacket : public vek::sdk::RefCountable<Interface> {
public:
    explicit FakeItemPacket(int64_t timestamp) : timestamp(timestamp) {}
    ~FakeItemPacket() override {
        for (Item* item : items)
            item->releaseRef();
    }
    int64_t timestampUs() const override { return timestamp; }
    int flags() const override { return 0; }
    int64_t durationUs() const override { return 0; }
    int count() const override { return static_cast<int>(items.size()); }
    const ItemInterface* at(int index) const override {
        if (index < 0 || index >= count())
            return nullptr;
        items[static_cast<size_t>(index)]->addRef();
        return items[static_cast<size_t>(index)];
    }
    // Takes over the reference.
    void add(Item* item) { items.push_back(item); }

private:
    int64_t timestamp;
    std::vector<Item*> items;
};

using FakeObjectPacket = FakeItemPacket<IObjectMetadataPacket, FakeObject, IObjectMetadata>;
using FakeEventPacket = FakeItemPacket<IEventMetadataPacket, FakeEvent, IEventMetadata>;

class FakeBestShotPacket : public vek::sdk::RefCountable<IObjectTrackBestShotPacket> {
public:
    int64_t timestampUs() const override { return timestamp; }
    vek::sdk::Uuid trackId() const override { return track; }
    Rect boundingBox() const override { return box; }
    const char* imageUrl() const override { return ""; }
    const char* imageData() const override { return nullptr; }
    int imageDataSize() const override { return 0; }
    const char* imageDataFormat() const override { return ""; }

    int64_t timestamp = 0;
    vek::sdk::Uuid track;
    Rect box;
};

inline vek::sdk::Uuid sequentialUuid(uint8_t first) {
    vek::sdk::Uuid uuid;
    for (size_t i = 0; i < uuid.bytes.size(); ++i)
        uuid.bytes[i] = static_cast<uint8_t>(first + i);
    return uuid;
}

}  // namespace vekhost::testing
