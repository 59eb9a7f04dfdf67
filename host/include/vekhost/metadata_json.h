// One JSON line per metadata packet the plugin returns: object packets, event packets and best
// shots, with track ids in hyphenated form and boxes as frame fractions.
#pragma once

#include <vek/sdk/analytics/i_metadata_packet.h>
#include <cstdint>
#include <string>
#include <string_view>

namespace vekhost {

struct PacketDigest {
    enum class Kind { objects, events, bestShot, other };
    Kind kind = Kind::other;
    int64_t timestampUs = 0;
    // Objects or events in the packet.
    int itemCount = 0;
    // Compact JSON, no line feed.
    std::string jsonLine;
};

PacketDigest digestMetadataPacket(std::string_view cameraId, vek::sdk::analytics::IMetadataPacket* packet);

}  // namespace vekhost
