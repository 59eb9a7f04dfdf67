// The services the host offers the plugin: directories, server and cloud identities, the cloud
// token and asynchronous requests to the emulated REST API.
#pragma once

#include <vek/sdk/helpers/ref_countable.h>
#include <vek/sdk/i_utility_provider.h>
#include <vekhost/request_dispatcher.h>
#include <memory>
#include <optional>
#include <string>

namespace vekhost {

struct UtilityProviderSettings {
    std::string homeDir;
    std::string dataDir;
    std::string serverId;
    // Absent when the server belongs to no cloud site.
    std::optional<std::string> cloudSystemId;
    // Empty when the server is not connected to the cloud.
    std::string cloudToken;
};

class UtilityProvider : public vek::sdk::RefCountable<vek::sdk::IUtilityProvider7> {
public:
    UtilityProvider(UtilityProviderSettings settings, std::shared_ptr<RestRouter> router);

    vek::sdk::IString* homeDir() const override;
    const char* serverId() const override;
    vek::sdk::IString* cloudSystemId() const override;
    void sendHttpRequest(vek::sdk::HttpDomainName requestDomain, const char* pathWithQuery,
                         const char* method, const char* mimeType, const char* requestBody,
                         vek::sdk::IHttpRequestCompletionHandler* callback) const override;
    const char* cloudToken() const override;
    vek::sdk::IString* dataDir() const override;

    // Answers what is queued and cancels later requests; the plugin's handlers are all gone when
    // this returns.
    void stopRequests();

    const UtilityProviderSettings& settings() const { return values; }

private:
    const UtilityProviderSettings values;
    const std::unique_ptr<RequestDispatcher> dispatcher;
};

}  // namespace vekhost
