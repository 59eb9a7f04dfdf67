// The host's description of one camera.
#pragma once

#include <vek/sdk/interface.h>

namespace vek::sdk {

class IDeviceInfo : public Interface<IDeviceInfo, IRefCountable> {
public:
    static constexpr InterfaceId interfaceId() { return {"vek::sdk::IDeviceInfo"}; }
    virtual const char* id() const = 0;
    virtual const char* name() const = 0;
};

}  // namespace vek::sdk
