#include <gtest/gtest.h>
#include <rapidjson/document.h>

#include <vek/sdk/helpers/string.h>
#include <vekhost/http_message.h>
#include <vekhost/utility_provider.h>
#include <condition_variable>
#include <mutex>
#include <sstream>
#include <thread>

namespace vekhost {
namespace {

using vek::sdk::ErrorCode;
using vek::sdk::HttpDomainName;
using vek::sdk::Ptr;

struct Answer {
    int calls = 0;
    std::thread::id thread;
    bool ok = false;
    ErrorCode error = ErrorCode::noError;
    std::string text;
};

// Shared by many handlers; outlives them, so destruction can be observed.
struct Journal {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<Answer> answers;
    int destroyed = 0;

    bool waitForCalls(size_t handler, int calls) {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, std::chrono::seconds(30),
                                [&] { return answers[handler].calls >= calls; });
    }
};

class RecordingHandler : public vek::sdk::RefCountable<vek::sdk::IHttpRequestCompletionHandler> {
public:
    RecordingHandler(std::shared_ptr<Journal> journal, size_t index)
        : journal(std::move(journal)), index(index) {}
    ~RecordingHandler() override {
        std::lock_guard lock(journal->mutex);
        ++journal->destroyed;
        journal->changed.notify_all();
    }
    void execute(vek::sdk::Result<vek::sdk::IString*> response) override {
        std::string text = response.isOk() ? vek::sdk::takeString(response.value)
                                           : vek::sdk::takeString(response.error.errorMessage);
        std::lock_guard lock(journal->mutex);
        Answer& answer = journal->answers[index];
        ++answer.calls;
        answer.thread = std::this_thread::get_id();
        answer.ok = response.isOk();
        answer.error = response.error.errorCode;
        answer.text = std::move(text);
        journal->changed.notify_all();
    }

private:
    std::shared_ptr<Journal> journal;
    size_t index;
};

UtilityProviderSettings sampleSettings() {
    UtilityProviderSettings settings;
    settings.homeDir = "/srv/home";
    settings.dataDir = "/srv/data";
    settings.serverId = "0d4f3a9e-6b1c-4f2e-9a77-3c5e1d2b8f60";
    settings.cloudToken = "token-123";
    return settings;
}

Ptr<UtilityProvider> makeProvider(UtilityProviderSettings settings = sampleSettings()) {
    return Ptr<UtilityProvider>(new UtilityProvider(std::move(settings), std::make_shared<RestRouter>()));
}

class HostUtilityProviderRequests : public ::testing::Test {
protected:
    Ptr<RecordingHandler> handler(size_t count = 1) {
        std::lock_guard lock(journal->mutex);
        const size_t index = journal->answers.size();
        journal->answers.resize(index + count);
        return Ptr<RecordingHandler>(new RecordingHandler(journal, index));
    }
    Answer answer(size_t index) {
        std::lock_guard lock(journal->mutex);
        return journal->answers[index];
    }
    int destroyed() {
        std::lock_guard lock(journal->mutex);
        return journal->destroyed;
    }

    std::shared_ptr<Journal> journal = std::make_shared<Journal>();
};

TEST(HostUtilityProvider, GivesTheConfiguredValues) {
    const auto provider = makeProvider();
    EXPECT_EQ(vek::sdk::takeString(provider->homeDir()), "/srv/home");
    EXPECT_EQ(vek::sdk::takeString(provider->dataDir()), "/srv/data");
    EXPECT_STREQ(provider->serverId(), "0d4f3a9e-6b1c-4f2e-9a77-3c5e1d2b8f60");
    EXPECT_STREQ(provider->cloudToken(), "token-123");
    EXPECT_EQ(provider->cloudSystemId(), nullptr);

    UtilityProviderSettings settings = sampleSettings();
    settings.cloudSystemId = "site-7";
    settings.cloudToken.clear();
    const auto onSite = makeProvider(settings);
    EXPECT_EQ(vek::sdk::takeString(onSite->cloudSystemId()), "site-7");
    EXPECT_STREQ(onSite->cloudToken(), "");
}

TEST(HostUtilityProvider, AnswersBothProviderInterfaceIds) {
    const auto provider = makeProvider();
    const auto base = vek::sdk::shareToPtr<vek::sdk::IUtilityProvider>(provider.get());
    const auto newest = base.queryInterface<vek::sdk::IUtilityProvider7>();
    ASSERT_TRUE(newest);
    EXPECT_EQ(newest.get(), provider.get());
    EXPECT_TRUE(provider.queryInterface<vek::sdk::IUtilityProvider>());
    EXPECT_FALSE(provider.queryInterface<vek::sdk::IString>());
}

TEST_F(HostUtilityProviderRequests, NotFoundArrivesOnceOnAHostThreadAsAFullHttpMessage) {
    const auto provider = makeProvider();
    {
        const auto request = handler();
        std::string path = "/rest/v4/unknown";
        provider->sendHttpRequest(HttpDomainName::vms, path.c_str(), "GET", "", "", request.get());
        // The provider must have copied the texts.
        path.assign(path.size(), 'x');
    }
    ASSERT_TRUE(journal->waitForCalls(0, 1));
    provider->stopRequests();

    const Answer got = answer(0);
    EXPECT_EQ(got.calls, 1);
    EXPECT_NE(got.thread, std::this_thread::get_id());
    ASSERT_TRUE(got.ok) << got.text;
    EXPECT_EQ(got.text.rfind("HTTP/1.1 404 Not Found\r\n", 0), 0u) << got.text;
    const size_t separator = got.text.find("\r\n\r\n");
    ASSERT_NE(separator, std::string::npos);
    const std::string body = got.text.substr(separator + 4);
    EXPECT_NE(got.text.find("Content-Length: " + std::to_string(body.size()) + "\r\n"), std::string::npos);
    EXPECT_NE(got.text.find("Content-Type: application/json\r\n"), std::string::npos);
    EXPECT_EQ(body.find('\n'), std::string::npos);
    rapidjson::Document json;
    json.Parse(body.c_str());
    ASSERT_FALSE(json.HasParseError()) << body;
    EXPECT_STREQ(json["errorString"].GetString(), "No resource for GET /rest/v4/unknown");
    EXPECT_EQ(destroyed(), 1);
}

TEST_F(HostUtilityProviderRequests, TheBodyIsTheLineAfterTheEmptyLine) {
    // The way the plugin reads an answer: lines split at line feeds, the body follows the first
    // line that is empty or a lone carriage return.
    const std::string message = formatHttpResponse(RestResponse{200, R"({"a":1})"});
    std::istringstream lines(message);
    std::string line;
    while (std::getline(lines, line) && !line.empty() && line != "\r") {
    }
    std::getline(lines, line);
    EXPECT_EQ(line, R"({"a":1})");
    EXPECT_EQ(message.rfind("HTTP/1.1 200 OK\r\n", 0), 0u);
}

TEST_F(HostUtilityProviderRequests, StoppingAnswersEveryQueuedRequestExactlyOnce) {
    constexpr size_t kRequests = 200;
    const auto provider = makeProvider();
    for (size_t i = 0; i < kRequests; ++i) {
        const auto request = handler();
        provider->sendHttpRequest(HttpDomainName::vms, ("/rest/v4/devices/" + std::to_string(i)).c_str(),
                                  "PATCH", "application/json", R"({"parameters":{}})", request.get());
    }
    provider->stopRequests();
    for (size_t i = 0; i < kRequests; ++i) {
        const Answer got = answer(i);
        EXPECT_EQ(got.calls, 1) << i;
        EXPECT_TRUE(got.ok) << i;
        EXPECT_NE(got.text.find("\"id\":\"" + std::to_string(i) + "\""), std::string::npos) << got.text;
    }
    // Every handler is released by the time stop returns: none of the plugin's code is left to run.
    EXPECT_EQ(destroyed(), static_cast<int>(kRequests));
}

TEST_F(HostUtilityProviderRequests, DestroyingTheProviderFinishesPendingRequests) {
    {
        auto provider = makeProvider();
        for (int i = 0; i < 20; ++i) {
            const auto request = handler();
            provider->sendHttpRequest(HttpDomainName::vms, "/rest/v4/servers/this", "GET", "", "",
                                      request.get());
        }
    }
    for (size_t i = 0; i < 20; ++i)
        EXPECT_EQ(answer(i).calls, 1) << i;
    EXPECT_EQ(destroyed(), 20);
}

TEST_F(HostUtilityProviderRequests, RequestsAfterStopAreCancelledOnce) {
    const auto provider = makeProvider();
    provider->stopRequests();
    const auto request = handler();
    provider->sendHttpRequest(HttpDomainName::vms, "/rest/v4/servers/this", "GET", "", "", request.get());
    const Answer got = answer(0);
    EXPECT_EQ(got.calls, 1);
    EXPECT_FALSE(got.ok);
    EXPECT_EQ(got.error, ErrorCode::networkError);
    EXPECT_NE(got.text.find("shutting down"), std::string::npos);
}

TEST_F(HostUtilityProviderRequests, OtherDomainsGetAnErrorNotAnAnswer) {
    const auto provider = makeProvider();
    const auto request = handler();
    provider->sendHttpRequest(HttpDomainName::cloud, "/cdb/systems", "GET", "", "", request.get());
    provider->stopRequests();
    const Answer got = answer(0);
    EXPECT_EQ(got.calls, 1);
    EXPECT_FALSE(got.ok);
    EXPECT_EQ(got.error, ErrorCode::notImplemented);
}

TEST_F(HostUtilityProviderRequests, NullTextsAndHandlersAreSurvived) {
    const auto provider = makeProvider();
    provider->sendHttpRequest(HttpDomainName::vms, "/rest/v4/servers/this", "GET", "", "", nullptr);
    const auto request = handler();
    provider->sendHttpRequest(HttpDomainName::vms, nullptr, nullptr, nullptr, nullptr, request.get());
    provider->stopRequests();
    const Answer got = answer(0);
    EXPECT_EQ(got.calls, 1);
    EXPECT_EQ(got.text.rfind("HTTP/1.1 404 Not Found\r\n", 0), 0u);
}

}  // namespace
}  // namespace vekhost
