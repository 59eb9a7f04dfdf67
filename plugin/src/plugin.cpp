#include "plugin.h"

#include <rapidjson/document.h>
#include <vek/branding/branding.h>
#include <vek/sdk/entry_points.h>
#include <vek/sdk/helpers/lib_context.h>
#include <vek/sdk/helpers/settings_response.h>
#include <vek/sdk/helpers/string.h>
#include <filesystem>
#include <system_error>

#include "engine.h"
#include "ini_manager.h"
#include "utils/plugin_utils.h"
#include "vekai_utilities/vekai_utils.h"

namespace vek::vms_server_plugins::analytics::vekai {

using namespace vek::sdk;

namespace {

constexpr const char* kLibraryName = "vek_corvane_plugin";

std::string dataDirectoryOf(const Ptr<IUtilityProvider>& provider) {
    const auto provider7 = provider.queryInterface<IUtilityProvider7>();
    return provider7 ? takeString(provider7->dataDir()) : std::string();
}

}  // namespace

Plugin::Plugin() : Integration({}, ini().enableOutput) {}

std::string Plugin::manifestString() const {
    rapidjson::Document document(rapidjson::kObjectType);
    auto& allocator = document.GetAllocator();
    rapidjson::Value settingsModel(rapidjson::kObjectType);
    settingsModel.AddMember("type", "Settings", allocator);
    settingsModel.AddMember("items", rapidjson::Value(rapidjson::kArrayType), allocator);

    document.AddMember("id", "vek.vekai", allocator);
    document.AddMember("name", "Corvane", allocator);
    document.AddMember(
        "description",
        "Corvane is a universal tool for deploying and managing AI models. It transforms video "
        "streams from any camera into intelligent, actionable insights with minimal engineering "
        "effort.",
        allocator);
    document.AddMember("vendor", rapidjson::Value(vek::branding::companyName().c_str(), allocator),
                       allocator);
    document.AddMember("version", rapidjson::StringRef(kPluginVersion), allocator);
    document.AddMember("engineSettingsModel", settingsModel, allocator);
    return Utils::finaliseDocument(document);
}

void Plugin::engineDestroyed(const Engine* destroyed) {
    std::lock_guard lock(engineMutex);
    if (engine == destroyed)
        engine = nullptr;
}

void Plugin::doObtainEngine(Result<vek::sdk::analytics::IEngine*>* outResult) {
    std::lock_guard lock(engineMutex);
    if (engine) {
        // One engine per process: a repeated request shares the live one.
        engine->addRef();
        *outResult = static_cast<vek::sdk::analytics::IEngine*>(engine);
        return;
    }

    const auto provider = utilityProvider();
    if (!provider) {
        *outResult = error<vek::sdk::analytics::IEngine*>(
            ErrorCode::badState, "Utility provider was not set before obtaining the engine");
        return;
    }
    const std::string homeDir = takeString(provider->homeDir());
    std::string workDir;
    if (const char* configured = ini().WorkingDirectory; configured && *configured) {
        workDir = configured;
    } else {
        const std::string dataDir = dataDirectoryOf(provider);
        if (dataDir.empty()) {
            *outResult = error<vek::sdk::analytics::IEngine*>(
                ErrorCode::badState,
                "The server gave no data directory and no WorkingDirectory is configured");
            return;
        }
        workDir = dataDir + "/" + "vek_corvane";
    }

    std::error_code failure;
    std::filesystem::create_directories(workDir, failure);
    if (failure) {
        const std::string message =
            "Cannot create the working directory " + workDir + ": " + failure.message();
        logUtils.error(message);
        *outResult = error<vek::sdk::analytics::IEngine*>(ErrorCode::internalError, message);
        return;
    }

    VekAITimer::setEnabled(ini().enableProfiling);
    vekai_initialize_logging(Utils::joinPaths({workDir, "vekai_plugin_start.log"}).c_str(),
                             Utils::joinPaths({workDir, "vekai_plugin.log"}).c_str(),
                             "AI Plugin: ", ini().logToConsole, ini().logToFile, ini().logVerbosityLevel);

    engine = new Engine(this, workDir, homeDir);
    *outResult = static_cast<vek::sdk::analytics::IEngine*>(engine);
}

}  // namespace vek::vms_server_plugins::analytics::vekai

extern "C" vek::sdk::IIntegration* createVekPlugin() {
    vek::sdk::LibContext::instance().setName(vek::vms_server_plugins::analytics::vekai::kLibraryName);
    return new vek::vms_server_plugins::analytics::vekai::Plugin();
}
