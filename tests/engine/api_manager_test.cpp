#include <gtest/gtest.h>

#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "api_manager.h"
#include "test_host.h"

using namespace vek::sdk;

namespace {

struct SentRequest {
    std::string path;
    std::string method;
    std::string mimeType;
    std::string body;
};

// Answers each request on a thread of its own with what the test's responder returns, or
// never, like a host that lost the request.
class ScriptedProvider : public testhost::UtilityProvider {
public:
    using Responder = std::function<std::optional<Result<IString*>>(const SentRequest&)>;

    ScriptedProvider() : testhost::UtilityProvider("/home", "/data") {}
    ~ScriptedProvider() override {
        for (auto& answer : answers)
            answer.join();
    }

    void sendHttpRequest(HttpDomainName domain, const char* path, const char* method, const char* mimeType,
                         const char* body, IHttpRequestCompletionHandler* callback) const override {
        EXPECT_EQ(domain, HttpDomainName::vms);
        SentRequest request{path, method, mimeType, body};
        {
            std::lock_guard lock(mutex);
            sent.push_back(request);
        }
        auto answer = responder(request);
        if (!answer)
            return;
        callback->addRef();
        answers.emplace_back([callback, result = *answer] {
            callback->execute(result);
            callback->releaseRef();
        });
    }

    Responder responder;
    mutable std::mutex mutex;
    mutable std::vector<SentRequest> sent;
    mutable std::vector<std::thread> answers;
};

Result<IString*> text(const std::string& value) {
    return Result<IString*>(new String(value));
}

std::string httpMessage(const std::string& body) {
    return "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\n\r\n" + body + "\n";
}

TEST(APIManager, ExtractsTheBodyLineOfAnHttpMessage) {
    const std::pair<std::string, std::string> cases[] = {
        {"HTTP/1.1 200 OK\nContent-Type: application/json\r\n\r\n{\"a\":1}", "{\"a\":1}"},
        {"HTTP/1.1 200 OK\n\n{\"b\":2}\nextra", "{\"b\":2}"},
        {"{\"whole\":true}", "{\"whole\":true}"},
        {"HTTP/1.1 204 No Content\r\n\r\n", ""},
        {"HTTP/1.1 204 No Content\n", ""},
        {"HTTP/1.1 200 OK\r\nX: y", "HTTP/1.1 200 OK\r\nX: y"},
    };
    for (const auto& [response, body] : cases)
        EXPECT_EQ(APIManager::extractMessageBody(response), body) << response;
}

TEST(APIManager, RequestsCarryPathMethodAndBodyAndFailuresBecomeEmpty) {
    const Ptr<ScriptedProvider> provider(new ScriptedProvider());
    provider->responder = [](const SentRequest& request) -> std::optional<Result<IString*>> {
        if (request.path == "/rest/v4/devices/broken")
            return Result<IString*>(Error{ErrorCode::networkError, new String("refused")});
        if (request.path == "/rest/v4/devices/novalue")
            return Result<IString*>();
        if (request.path == "/rest/v4/devices/gone")
            return text("HTTP/1.1 404 Not Found\r\n\r\n{\"error\":\"404\"}\n");
        if (request.path == "/rest/v4/devices/created")
            return text("HTTP/1.1 201 Created\r\n\r\n{\"id\":\"created\"}\n");
        return text(httpMessage("{\"ok\":true}"));
    };
    const APIManager::UtilityProvider handle = shareToPtr<IUtilityProvider>(provider.get());

    EXPECT_EQ(APIManager::patchDeviceParameters(handle, "{\"x\":1}", "dev1"), "{\"ok\":true}");
    EXPECT_EQ(APIManager::getDeviceParameters(handle, "broken"), "");
    EXPECT_EQ(APIManager::getDeviceParameters(handle, "novalue"), "Error: Result has no value.");
    EXPECT_EQ(APIManager::doRequest("/x", "GET", "", "", APIManager::UtilityProvider()), "");
    // An error answer's body is not the resource.
    EXPECT_EQ(APIManager::getDeviceParameters(handle, "gone"), "");
    EXPECT_EQ(APIManager::getDeviceParameters(handle, "created"), "{\"id\":\"created\"}");

    ASSERT_EQ(provider->sent.size(), 5u);
    EXPECT_EQ(provider->sent[0].path, "/rest/v4/devices/dev1");
    EXPECT_EQ(provider->sent[0].method, "PATCH");
    EXPECT_EQ(provider->sent[0].mimeType, "application/json");
    EXPECT_EQ(provider->sent[0].body, "{\"x\":1}");
    EXPECT_EQ(provider->sent[1].method, "GET");
    EXPECT_EQ(provider->sent[1].mimeType, "");
}

TEST(APIManager, RuntimeInformationEnvelopeIsExact) {
    const Ptr<ScriptedProvider> provider(new ScriptedProvider());
    provider->responder = [](const SentRequest&) { return std::optional(text(httpMessage("{}"))); };
    const APIManager::UtilityProvider handle = shareToPtr<IUtilityProvider>(provider.get());
    APIManager::patchRuntimeInformation(handle, "Generic CPU", "application/x-onnx");
    APIManager::patchRuntimeInformation(handle, "", "");
    ASSERT_EQ(provider->sent.size(), 2u);
    EXPECT_EQ(provider->sent[0].path, "/rest/v4/servers/this");
    EXPECT_EQ(
        provider->sent[0].body,
        R"({"parameters":{"vekAI":{"runtimeInformation":[{"mimetypes":["application/x-onnx"],"name":"Generic CPU"}]}}})");
    EXPECT_EQ(provider->sent[1].body,
              R"({"parameters":{"vekAI":{"runtimeInformation":[{"mimetypes":[""],"name":""}]}}})");
}

TEST(APIManager, ClassifiesDevicesByTheirConfiguration) {
    const std::string devices = R"([
        {"id":"both","parameters":{"vekAI":{"models":{},"pipelines":[]}}},
        {"id":"modelsOnly","parameters":{"vekAI":{"models":{}}}},
        {"id":"empty","parameters":{"vekAI":{}}},
        {"id":"notObject","parameters":{"vekAI":"text"}},
        {"id":"noVekAI","parameters":{"other":1}},
        {"id":"noParameters"},
        {"parameters":{"vekAI":{}}},
        {"id":7,"parameters":{"vekAI":{}}}
    ])";
    const Ptr<ScriptedProvider> provider(new ScriptedProvider());
    provider->responder = [&](const SentRequest&) {
        std::string oneLine = devices;
        std::erase(oneLine, '\n');
        return std::optional(text(httpMessage(oneLine)));
    };
    const APIManager::UtilityProvider handle = shareToPtr<IUtilityProvider>(provider.get());
    EXPECT_EQ(APIManager::getInitializedDevices(handle), (std::vector<std::string>{"both", "modelsOnly"}));
    EXPECT_EQ(APIManager::getUninitializedDevices(handle),
              (std::vector<std::string>{"modelsOnly", "empty", "notObject"}));
    EXPECT_EQ(provider->sent.front().path, "/rest/v4/devices?serverId=5f0c2f55-98e1-4c35-a8ce-6a4a1a7a0001");
}

TEST(APIManager, AHostThatNeverAnswersTimesOut) {
    const Ptr<ScriptedProvider> provider(new ScriptedProvider());
    provider->responder = [](const SentRequest&) { return std::optional<Result<IString*>>(); };
    const APIManager::UtilityProvider handle = shareToPtr<IUtilityProvider>(provider.get());
    EXPECT_EQ(APIManager::getServerParameters(handle), nullptr);
    EXPECT_EQ(provider->sent.size(), 1u);
}

}  // namespace
