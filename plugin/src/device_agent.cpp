#include "device_agent.h"

#include <vek/sdk/helpers/uuid_helper.h>

#include "engine.h"
#include "ini_manager.h"
#include "utils/plugin_utils.h"
#include "vekai_utilities/vekai_utils.h"

namespace vek::vms_server_plugins::analytics::vekai {

using namespace vek::sdk;

namespace {

std::string formattedDeviceId(const IDeviceInfo* deviceInfo) {
    const Uuid uuid = UuidHelper::fromStdString(deviceInfo->id() ? deviceInfo->id() : "");
    return UuidHelper::toStdString(uuid, UuidHelper::hyphens);
}

}  // namespace

DeviceAgent::DeviceAgent(const IDeviceInfo* deviceInfo, Engine* engine, const std::string& workDir)
    : ConsumingDeviceAgent(deviceInfo, ini().enableOutput),
      engine(engine),
      workDir(workDir),
      cacheDir(Utils::joinPaths({workDir, "cache"})),
      id(formattedDeviceId(deviceInfo)),
      name(deviceInfo->name() ? deviceInfo->name() : "") {
    vekai_vlog_verbose("Device agent started: %s\n", id.c_str());
}

DeviceAgent::~DeviceAgent() {
    vekai_vlog("Destroying Device Agent %s\n", id.c_str());
    engine->unregisterDeviceAgent(id, this);
}

std::string DeviceAgent::manifestString() const {
    return "{}";
}

bool DeviceAgent::pushUncompressedVideoFrame(vek::sdk::analytics::IUncompressedVideoFrame1*) {
    vekai_vlog_verbose("Device %s received uncompressed frame.\n", id.c_str());
    return true;
}

bool DeviceAgent::pullMetadataPackets(MetadataPacketList*) {
    return true;
}

void DeviceAgent::doSetNeededMetadataTypes(Result<void>* outResult,
                                           const vek::sdk::analytics::IMetadataTypes*) {
    *outResult = {};
}

}  // namespace vek::vms_server_plugins::analytics::vekai
