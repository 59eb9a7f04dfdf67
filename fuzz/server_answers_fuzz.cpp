// The media server's REST answers as the plugin reads them: the server document and the device
// list classified into configured and unconfigured devices, each from a whole HTTP message.
#include <vek/sdk/helpers/ref_countable.h>
#include <vek/sdk/helpers/string.h>
#include <vek/sdk/i_utility_provider.h>

#include <string>

#include "api_manager.h"
#include "fuzz_support.h"

namespace {

// Answers every request at once with the same message.
class AnsweringProvider : public vek::sdk::RefCountable<vek::sdk::IUtilityProvider7> {
public:
    explicit AnsweringProvider(std::string answer) : answer(std::move(answer)) {}
    vek::sdk::IString* homeDir() const override {
        return new vek::sdk::String(fuzz::scratch().path.string());
    }
    const char* serverId() const override { return "5f0c2f55-98e1-4c35-a8ce-6a4a1a7a0001"; }
    vek::sdk::IString* cloudSystemId() const override { return new vek::sdk::String("site"); }
    void sendHttpRequest(vek::sdk::HttpDomainName, const char*, const char*, const char*, const char*,
                         vek::sdk::IHttpRequestCompletionHandler* callback) const override {
        if (callback)
            callback->execute(vek::sdk::Result<vek::sdk::IString*>(new vek::sdk::String(answer)));
    }
    const char* cloudToken() const override { return "token"; }
    vek::sdk::IString* dataDir() const override {
        return new vek::sdk::String(fuzz::scratch().path.string());
    }

private:
    std::string answer;
};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::setUp();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const vek::sdk::Ptr<vek::sdk::IUtilityProvider> provider(
        new AnsweringProvider(std::string(reinterpret_cast<const char*>(data), size)));
    APIManager::getServerParameters(provider);
    APIManager::getInitializedDevices(provider);
    APIManager::getUninitializedDevices(provider);
    return 0;
}
