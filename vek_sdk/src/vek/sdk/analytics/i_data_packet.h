// Packets the host pushes into device agents: the uncompressed frame the plugin analyses,
// and the compressed and custom packets it refuses.
#pragma once

#include <vek/sdk/interface.h>
#include <cstdint>

namespace vek::sdk::analytics {

class IDataPacket : public Interface<IDataPacket, IRefCountable> {
public:
    static constexpr InterfaceId interfaceId() { return {"vek::sdk::analytics::IDataPacket"}; }
    virtual int64_t timestampUs() const = 0;
};

class ICompressedVideoPacket1 : public Interface<ICompressedVideoPacket1, IDataPacket> {
public:
    static constexpr InterfaceId interfaceId() { return {"vek::sdk::analytics::ICompressedVideoPacket1"}; }
    virtual const char* codec() const = 0;
    virtual const uint8_t* data() const = 0;
    virtual int dataSize() const = 0;
};

class ICustomMetadataPacket : public Interface<ICustomMetadataPacket, IDataPacket> {
public:
    static constexpr InterfaceId interfaceId() { return {"vek::sdk::analytics::ICustomMetadataPacket"}; }
    virtual const char* codec() const = 0;
    virtual const uint8_t* data() const = 0;
    virtual int dataSize() const = 0;
};

class IUncompressedVideoFrame1 : public Interface<IUncompressedVideoFrame1, IDataPacket> {
public:
    static constexpr InterfaceId interfaceId() { return {"vek::sdk::analytics::IUncompressedVideoFrame1"}; }
    enum class PixelFormat : int { yuv420 = 0 };

    virtual int width() const = 0;
    virtual int height() const = 0;
    virtual PixelFormat pixelFormat() const = 0;
    virtual int planeCount() const = 0;
    // Plane 0 is Y, planes 1 and 2 are U and V at half width and height.
    virtual const uint8_t* data(int plane) const = 0;
    virtual int lineSize(int plane) const = 0;
    virtual int dataSize(int plane) const = 0;
};

}  // namespace vek::sdk::analytics
