// The host's description of one camera, as the plugin receives it when an agent is obtained:
// a UUID text for the id and a display name.
#pragma once

#include <vek/sdk/helpers/ref_countable.h>
#include <vek/sdk/i_device_info.h>
#include <string>

namespace vekhost {

struct CameraDescription {
    // A UUID text.
    std::string id;
    std::string name;
};

class DeviceInfo : public vek::sdk::RefCountable<vek::sdk::IDeviceInfo> {
public:
    explicit DeviceInfo(CameraDescription description) : description(std::move(description)) {}
    const char* id() const override { return description.id.c_str(); }
    const char* name() const override { return description.name.c_str(); }

private:
    const CameraDescription description;
};

}  // namespace vekhost
