// Services the host offers the plugin: directories, identities, the cloud token and
// asynchronous requests to the host's own REST API.
#pragma once

#include <vek/sdk/i_string.h>
#include <vek/sdk/result.h>

namespace vek::sdk {

class IHttpRequestCompletionHandler : public Interface<IHttpRequestCompletionHandler, IRefCountable> {
public:
    static constexpr InterfaceId interfaceId() { return {"vek::sdk::IHttpRequestCompletionHandler"}; }
    // Called once; on success the value is the whole HTTP response message.
    virtual void execute(Result<IString*> response) = 0;
};

enum class HttpDomainName : int {
    vms = 1,  // the server's own REST API
    cloud = 2,
};

class IUtilityProvider : public Interface<IUtilityProvider, IRefCountable> {
public:
    static constexpr InterfaceId interfaceId() { return {"vek::sdk::IUtilityProvider"}; }

    virtual IString* homeDir() const = 0;
    virtual const char* serverId() const = 0;
    // Null when the server belongs to no cloud site.
    virtual IString* cloudSystemId() const = 0;
    virtual void sendHttpRequest(HttpDomainName requestDomain, const char* pathWithQuery, const char* method,
                                 const char* mimeType, const char* requestBody,
                                 IHttpRequestCompletionHandler* callback) const = 0;
    // Empty or null when the server is not connected to the cloud.
    virtual const char* cloudToken() const = 0;
};

class IUtilityProvider7 : public Interface<IUtilityProvider7, IUtilityProvider> {
public:
    static constexpr InterfaceId interfaceId() { return {"vek::sdk::IUtilityProvider7"}; }
    virtual IString* dataDir() const = 0;
};

}  // namespace vek::sdk
