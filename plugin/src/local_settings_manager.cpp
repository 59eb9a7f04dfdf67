#include "local_settings_manager.h"

#include <rapidjson/document.h>
#include <rapidjson/prettywriter.h>
#include <rapidjson/stringbuffer.h>

#include <algorithm>
#include <set>
#include <vector>

#include "accl_manager/utils.h"
#include "corvane/vekai_event_types.h"
#include "corvane_interface.h"
#include "device_settings_model.h"
#include "engine.h"
#include "ini_manager.h"
#include "utils/plugin_utils.h"
#include "vekai_utilities/vekai_utils.h"

namespace SettingsManager {

std::string constructEngineManifestString() {
    rapidjson::Document document(rapidjson::kObjectType);
    auto& allocator = document.GetAllocator();

    rapidjson::Value banner(rapidjson::kObjectType);
    banner.AddMember("type", "Banner", allocator);
    banner.AddMember("icon", "info", allocator);
    banner.AddMember("text", "Enable the plugin and press Apply to start working with the plugin.",
                     allocator);
    rapidjson::Value items(rapidjson::kArrayType);
    items.PushBack(banner, allocator);
    rapidjson::Value model(rapidjson::kObjectType);
    model.AddMember("type", "Settings", allocator);
    model.AddMember("items", items, allocator);

    document.AddMember("capabilities", "needUncompressedVideoFrames_yuv420", allocator);
    document.AddMember("preferredStream", "secondary", allocator);
    document.AddMember("deviceAgentSettingsModel", model, allocator);

    std::string manifest = Utils::finaliseDocument(document);
    vekai_vlog("Engine manifest string: %s\n", manifest.c_str());
    return manifest;
}

namespace {

// Collects the two arrays of a device manifest, declaring each id at most once.
class ManifestBuilder {
public:
    explicit ManifestBuilder(rapidjson::Document::AllocatorType& allocator) : allocator(allocator) {}

    void addEventType(const std::string& id, const std::string& name) {
        eventTypes.PushBack(declaration(id, name), allocator);
        supported("eventTypeId", id);
    }

    bool seenObjectType(const std::string& id) const { return objectIds.count(id) > 0; }

    // Base types are supported without being declared again.
    void addObjectType(const std::string& id, const std::string& name) {
        objectIds.insert(id);
        if (!Utils::isBaseObjectTypeID(id))
            objectTypes.PushBack(declaration(id, name), allocator);
        supported("objectTypeId", id);
    }

    void addClassOnce(const std::string& className) {
        const std::string id = Utils::toObjectTypeID(className);
        if (!seenObjectType(id))
            addObjectType(id, className);
    }

    void finish(rapidjson::Document& document) {
        rapidjson::Value typeLibrary(rapidjson::kObjectType);
        typeLibrary.AddMember("eventTypes", eventTypes, allocator);
        typeLibrary.AddMember("objectTypes", objectTypes, allocator);
        document.AddMember("typeLibrary", typeLibrary, allocator);
        document.AddMember("supportedTypes", supportedTypes, allocator);
    }

private:
    rapidjson::Value declaration(const std::string& id, const std::string& name) {
        rapidjson::Value entry(rapidjson::kObjectType);
        entry.AddMember("id", rapidjson::Value(id.c_str(), allocator), allocator);
        entry.AddMember("name", rapidjson::Value(name.c_str(), allocator), allocator);
        return entry;
    }

    void supported(const char* key, const std::string& id) {
        rapidjson::Value entry(rapidjson::kObjectType);
        entry.AddMember(rapidjson::StringRef(key), rapidjson::Value(id.c_str(), allocator), allocator);
        entry.AddMember("attributes", rapidjson::Value(rapidjson::kArrayType), allocator);
        supportedTypes.PushBack(entry, allocator);
    }

    rapidjson::Document::AllocatorType& allocator;
    rapidjson::Value eventTypes{rapidjson::kArrayType};
    rapidjson::Value objectTypes{rapidjson::kArrayType};
    rapidjson::Value supportedTypes{rapidjson::kArrayType};
    std::set<std::string> objectIds;
};

}  // namespace

std::string generateDeviceAgentManifest(const DeviceAgentSettings_t& settings,
                                        const CorvaneInterface& corvane) {
    return generateDeviceAgentManifest(settings, corvane.getExternalPostprocessors());
}

std::string generateDeviceAgentManifest(const DeviceAgentSettings_t& settings,
                                        const vekai::ExternalPostprocessorTable& externalPostprocessors) {
    const auto nodes = Utils::flattenPipelineParameters(settings.stages);
    std::vector<std::string> usedPostprocessors;
    bool dumpingUsed = false;
    for (const auto* node : nodes) {
        dumpingUsed = dumpingUsed || node->postprocessor == "Illegal Dumping";
        if (!node->postprocessor.empty() && std::find(usedPostprocessors.begin(), usedPostprocessors.end(),
                                                      node->postprocessor) == usedPostprocessors.end())
            usedPostprocessors.push_back(node->postprocessor);
    }
    const auto isUsed = [&](const std::string& name) {
        return std::find(usedPostprocessors.begin(), usedPostprocessors.end(), name) !=
               usedPostprocessors.end();
    };

    rapidjson::Document document(rapidjson::kObjectType);
    ManifestBuilder builder(document.GetAllocator());
    for (const auto& builtIn : vekai::EventTypes::kBuiltIn)
        builder.addEventType(builtIn.id, builtIn.name);

    std::set<std::string> externalEventIds;
    for (const auto& [name, processor] : externalPostprocessors) {
        if (!isUsed(name))
            continue;
        for (const auto& event : processor.events) {
            if (!externalEventIds.insert(event.id).second) {
                vekai_vlog(
                    "Warning! External postprocessor \"%s\" declares event id \"%s\" which is already in use "
                    "by "
                    "another assigned postprocessor. Skipping duplicate.\n",
                    name.c_str(), event.id.c_str());
                continue;
            }
            builder.addEventType(event.id, event.name);
        }
    }

    for (const auto& [modelId, model] : Utils::gatherModelsFromPipeline(settings.stages)) {
        for (const auto& className : model->boxesClassNames)
            builder.addClassOnce(className);
    }
    if (dumpingUsed)
        builder.addClassOnce("anomaly");

    for (const auto& [name, processor] : externalPostprocessors) {
        if (!isUsed(name))
            continue;
        for (const auto& object : processor.objects) {
            const std::string id = Utils::toObjectTypeID(object.id);
            if (builder.seenObjectType(id)) {
                vekai_vlog(
                    "Warning! External postprocessor \"%s\" declares object id \"%s\" which is already in "
                    "use by "
                    "another assigned postprocessor or model. Skipping duplicate.\n",
                    name.c_str(), object.id.c_str());
                continue;
            }
            builder.addObjectType(id, object.name);
        }
    }

    builder.finish(document);
    std::string manifest = Utils::finaliseDocument(document);
    vekai_vlog_verbose("Device Agent Manifest: %s\n", manifest.c_str());
    return manifest;
}

std::string constructEngineSettingsModelString(int serverCustomization) {
    rapidjson::Document document(rapidjson::kObjectType);
    auto& allocator = document.GetAllocator();
    rapidjson::Value items(rapidjson::kArrayType);
    if (serverCustomization == 1) {
        const std::string link = Utils::htmlLink(Utils::DOCUMENTATION_URL, "Corvane documentation");
        rapidjson::Value label(rapidjson::kObjectType);
        label.AddMember("type", "Label", allocator);
        label.AddMember("text", rapidjson::Value(link.c_str(), allocator), allocator);
        items.PushBack(label, allocator);
    }
    document.AddMember("type", "Settings", allocator);
    document.AddMember("items", items, allocator);

    rapidjson::StringBuffer buffer;
    rapidjson::PrettyWriter<rapidjson::StringBuffer> writer(buffer);
    if (!document.Accept(writer)) {
        vekai_vlog("Error: Failed to create engine settings JSON string.\n");
        return {};
    }
    return std::string(buffer.GetString(), buffer.GetSize());
}

std::string createDeviceAgentSettingsModelString(
    vek::vms_server_plugins::analytics::vekai::Engine& engine,
    const std::shared_ptr<const DeviceAgentSettings_t>& settings) {
    auto& runtimes = engine.getRuntimesManager();
    DeviceSettingsModel::EngineState state;
    state.cloudState = engine.getRegistrationManager().getState();
    // The state is read first: it publishes the candidate list written before it.
    state.runtimeState = runtimes.getState();
    if (state.runtimeState == RuntimeState::AWAITING_SELECTION)
        state.candidateRuntimes = runtimes.candidateRuntimes;
    state.downloadCancelled = runtimes.downloadCancelled.load();
    state.installedRuntime = runtimes.getInstalledRuntime();
    state.serverCustomization = engine.getServerCustomization();
    state.messages = engine.getMessagingManager().getMessages();
    state.alwaysShowRecoveryButtons = ini().alwaysShowRecoveryButtons;
    static const DeviceAgentSettings_t kNoSettings;
    return DeviceSettingsModel::build(state, settings ? *settings : kNoSettings);
}

}  // namespace SettingsManager
