#include <vekhost/utility_provider.h>

#include <vek/sdk/helpers/string.h>

namespace vekhost {
namespace {

std::string textOrEmpty(const char* text) {
    return text ? text : "";
}

}  // namespace

UtilityProvider::UtilityProvider(UtilityProviderSettings settings, std::shared_ptr<RestRouter> router)
    : values(std::move(settings)), dispatcher(std::make_unique<RequestDispatcher>(std::move(router))) {}

vek::sdk::IString* UtilityProvider::homeDir() const {
    return new vek::sdk::String(values.homeDir);
}

const char* UtilityProvider::serverId() const {
    return values.serverId.c_str();
}

vek::sdk::IString* UtilityProvider::cloudSystemId() const {
    if (!values.cloudSystemId)
        return nullptr;
    return new vek::sdk::String(*values.cloudSystemId);
}

void UtilityProvider::sendHttpRequest(vek::sdk::HttpDomainName requestDomain, const char* pathWithQuery,
                                      const char* method, const char* mimeType, const char* requestBody,
                                      vek::sdk::IHttpRequestCompletionHandler* callback) const {
    // Texts belong to the caller and may be gone once this returns.
    RestRequest request{textOrEmpty(method), textOrEmpty(pathWithQuery), textOrEmpty(mimeType),
                        textOrEmpty(requestBody)};
    dispatcher->submit(requestDomain, std::move(request), callback);
}

const char* UtilityProvider::cloudToken() const {
    return values.cloudToken.c_str();
}

vek::sdk::IString* UtilityProvider::dataDir() const {
    return new vek::sdk::String(values.dataDir);
}

void UtilityProvider::stopRequests() {
    dispatcher->stop();
}

}  // namespace vekhost
