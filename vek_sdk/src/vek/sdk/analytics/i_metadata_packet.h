// Metadata the plugin hands back to the host: objects, events, best shots and their attributes.
#pragma once

#include <vek/sdk/analytics/i_data_packet.h>
#include <vek/sdk/analytics/rect.h>
#include <vek/sdk/uuid.h>
#include <cstdint>

namespace vek::sdk::analytics {

class IAttribute : public Interface<IAttribute, IRefCountable> {
public:
    static constexpr InterfaceId interfaceId() { return {"vek::sdk::analytics::IAttribute"}; }
    enum class Type : int { undefined = 0, number = 1, boolean = 2, string = 3, colorRgb = 4 };
    virtual Type type() const = 0;
    virtual const char* name() const = 0;
    virtual const char* value() const = 0;
    virtual float confidence() const = 0;
};

class IMetadata : public Interface<IMetadata, IRefCountable> {
public:
    static constexpr InterfaceId interfaceId() { return {"vek::sdk::analytics::IMetadata"}; }
    virtual const char* typeId() const = 0;
    virtual float confidence() const = 0;
    virtual int attributeCount() const = 0;
    // A new reference, or null when the index is out of range.
    virtual const IAttribute* attribute(int index) const = 0;
};

class IObjectMetadata : public Interface<IObjectMetadata, IMetadata> {
public:
    static constexpr InterfaceId interfaceId() { return {"vek::sdk::analytics::IObjectMetadata"}; }
    virtual Uuid trackId() const = 0;
    virtual const char* subtype() const = 0;
    virtual Rect boundingBox() const = 0;
};

class IEventMetadata : public Interface<IEventMetadata, IMetadata> {
public:
    static constexpr InterfaceId interfaceId() { return {"vek::sdk::analytics::IEventMetadata"}; }
    virtual const char* caption() const = 0;
    virtual const char* description() const = 0;
    virtual bool isActive() const = 0;
    virtual const char* key() const = 0;
    virtual Rect boundingBox() const = 0;
    virtual Uuid trackId() const = 0;
};

class IMetadataPacket : public Interface<IMetadataPacket, IDataPacket> {
public:
    static constexpr InterfaceId interfaceId() { return {"vek::sdk::analytics::IMetadataPacket"}; }
};

class IObjectMetadataPacket : public Interface<IObjectMetadataPacket, IMetadataPacket> {
public:
    static constexpr InterfaceId interfaceId() { return {"vek::sdk::analytics::IObjectMetadataPacket"}; }
    virtual int flags() const = 0;
    virtual int64_t durationUs() const = 0;
    virtual int count() const = 0;
    // A new reference, or null when the index is out of range.
    virtual const IObjectMetadata* at(int index) const = 0;
};

class IEventMetadataPacket : public Interface<IEventMetadataPacket, IMetadataPacket> {
public:
    static constexpr InterfaceId interfaceId() { return {"vek::sdk::analytics::IEventMetadataPacket"}; }
    virtual int flags() const = 0;
    virtual int64_t durationUs() const = 0;
    virtual int count() const = 0;
    virtual const IEventMetadata* at(int index) const = 0;
};

class IObjectTrackBestShotPacket : public Interface<IObjectTrackBestShotPacket, IMetadataPacket> {
public:
    static constexpr InterfaceId interfaceId() { return {"vek::sdk::analytics::IObjectTrackBestShotPacket"}; }
    virtual Uuid trackId() const = 0;
    virtual Rect boundingBox() const = 0;
    virtual const char* imageUrl() const = 0;
    virtual const char* imageData() const = 0;
    virtual int imageDataSize() const = 0;
    virtual const char* imageDataFormat() const = 0;
};

}  // namespace vek::sdk::analytics
