// The plugin's client of the media server's REST API, through the host's request service:
// server and device parameters, and the classification of devices by their configuration.
#pragma once

#include <rapidjson/document.h>
#include <vek/sdk/i_utility_provider.h>
#include <memory>
#include <string>
#include <vector>

class APIManager {
public:
    using UtilityProvider = vek::sdk::Ptr<vek::sdk::IUtilityProvider>;

    // The one-line JSON body of the response; empty on any failure. Blocks at most
    // HTTPRequestTimeout seconds; one blocking request runs at a time in the whole plugin.
    static std::string doRequest(const std::string& path, const std::string& method,
                                 const std::string& mimeType, const std::string& body,
                                 const UtilityProvider& utilityProvider);
    static void doRequestFireAndForget(const std::string& path, const std::string& method,
                                       const std::string& mimeType, const std::string& body,
                                       const UtilityProvider& utilityProvider);

    // Null when the response is empty or not JSON.
    static std::unique_ptr<rapidjson::Document> getServerParameters(const UtilityProvider& utilityProvider);
    static std::string patchServerParameters(const UtilityProvider& utilityProvider, const std::string& body);
    static void patchRuntimeInformation(const UtilityProvider& utilityProvider, const std::string& name,
                                        const std::string& mimeType);
    static void addRuntimeInformation(rapidjson::Document& document, rapidjson::Value& vekAIObject,
                                      const std::string& name, const std::string& mimeType);

    static std::string getDeviceParameters(const UtilityProvider& utilityProvider,
                                           const std::string& deviceId);
    static std::string patchDeviceParameters(const UtilityProvider& utilityProvider, const std::string& body,
                                             const std::string& deviceId);
    static void patchDeviceParametersFireAndForget(const UtilityProvider& utilityProvider,
                                                   const std::string& body, const std::string& deviceId);
    static std::string getDevicesParameters(const UtilityProvider& utilityProvider);

    static std::vector<std::string> getInitializedDevices(const UtilityProvider& utilityProvider);
    static std::vector<std::string> getUninitializedDevices(const UtilityProvider& utilityProvider);

    // The body line of a complete HTTP message: the line after the first empty (or lone
    // carriage return) line; the whole text when there is no such line.
    static std::string extractMessageBody(const std::string& response);
};
