#include <gtest/gtest.h>

#include <httplib.h>
#include <vek/sdk/analytics/i_plugin.h>
#include <vek/sdk/entry_points.h>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <thread>

#include "engine.h"
#include "test_host.h"

using namespace vek::sdk;
using namespace vek::sdk::analytics;
using VekEngine = vek::vms_server_plugins::analytics::vekai::Engine;

namespace {

// A cloud on loopback that records reset requests and answers with one configuration per device.
class LocalCloud {
public:
    LocalCloud() {
        server.Post(
            R"(/api/reset/(.*))", [this](const httplib::Request& request, httplib::Response& response) {
                std::lock_guard lock(mutex);
                resets.push_back({request.matches[1], request.body, request.get_header_value("Authorization"),
                                  request.get_header_value("User-Agent")});
                if (answer == Answer::ServerError) {
                    response.status = 500;
                    response.set_content("{\"error\":\"overloaded\"}", "application/json");
                } else if (answer == Answer::Malformed) {
                    response.set_content("{\"Devices\":{\"dev-a\":", "application/json");
                } else {
                    response.set_content(R"({"Devices":{"dev-a":{"models":{},"pipelines":[]},"dev-b":{}}})",
                                         "application/json");
                }
            });
        port = server.bind_to_any_port("127.0.0.1");
        thread = std::thread([this] { server.listen_after_bind(); });
    }
    ~LocalCloud() {
        server.stop();
        thread.join();
    }

    enum class Answer { Normal, ServerError, Malformed };
    std::atomic<Answer> answer{Answer::Normal};

    struct Reset {
        std::string systemId;
        std::string body;
        std::string authorization;
        std::string userAgent;
    };
    std::vector<Reset> takeResets() {
        std::lock_guard lock(mutex);
        return std::exchange(resets, {});
    }

    int port = 0;

private:
    httplib::Server server;
    std::thread thread;
    std::mutex mutex;
    std::vector<Reset> resets;
};

// The configuration is read once per process: one cloud and one configuration serve every test.
LocalCloud& cloud() {
    static LocalCloud instance;
    return instance;
}

class CloudEnvironment : public ::testing::Environment {
public:
    void SetUp() override {
        std::ofstream(config.path / "vek_corvane_plugin.ini")
            << "CloudAPI=http://127.0.0.1:" << cloud().port << "/api\nHTTPRequestTimeout=2\n"
            << "RuntimesStorageURL=http://127.0.0.1:" << cloud().port << "/runtimes\n";
        setenv("VEK_CONFIG_DIR", config.path.c_str(), 1);
    }

private:
    testhost::TempDir config{"vek-config"};
};
const auto* const environment = ::testing::AddGlobalTestEnvironment(new CloudEnvironment());

// The media server's REST API in memory: server parameters, a device list, recorded writes.
class RestHost : public testhost::UtilityProvider {
public:
    RestHost(std::string home, std::string data)
        : testhost::UtilityProvider(std::move(home), std::move(data)) {}

    IString* cloudSystemId() const override { return systemId.empty() ? nullptr : new String(systemId); }
    const char* cloudToken() const override { return token.c_str(); }

    void sendHttpRequest(HttpDomainName, const char* path, const char* method, const char*, const char* body,
                         IHttpRequestCompletionHandler* callback) const override {
        std::string answer;
        {
            std::lock_guard lock(mutex);
            requests.push_back(std::string(method) + " " + path + (*body ? std::string(" ") + body : ""));
            if (silent)
                return;  // like a host that lost the request
            if (std::string(path) == "/rest/v4/servers/this")
                answer = std::string(method) == "GET" ? serverDocument : "{}";
            else if (std::string(path).rfind("/rest/v4/devices?serverId=", 0) == 0)
                answer = devices;
            else
                answer = "{}";
        }
        callback->execute(Result<IString*>(new String("HTTP/1.1 200 OK\r\n\r\n" + answer)));
    }

    std::vector<std::string> takeRequests() {
        std::lock_guard lock(mutex);
        return std::exchange(requests, {});
    }

    std::string systemId = "site-1";
    std::string token = "token-1";
    std::string serverDocument = R"({"id":"server","parameters":{}})";
    std::string devices = "[]";
    std::atomic<bool> silent{false};

private:
    mutable std::mutex mutex;
    mutable std::vector<std::string> requests;
};

size_t countStartingWith(const std::vector<std::string>& lines, const std::string& prefix) {
    return std::count_if(lines.begin(), lines.end(),
                         [&](const auto& line) { return line.rfind(prefix, 0) == 0; });
}

struct LoopFixture : ::testing::Test {
    testhost::TempDir home{"vek-home"};
    testhost::TempDir data{"vek-data"};
    Ptr<RestHost> host{new RestHost(home.path.string(), data.path.string())};
    Ptr<IEngine> engine;

    void SetUp() override {
        cloud().takeResets();
        auto plugin = Ptr<IIntegration>(createVekPlugin()).queryInterface<IPlugin>();
        plugin->setUtilityProvider(host.get());
        engine = Ptr<IEngine>(plugin->obtainEngine().value);
        ASSERT_TRUE(engine);
    }

    VekEngine& vekEngine() { return *static_cast<VekEngine*>(engine.get()); }

    void installRuntime() {
        const auto bin = data.path / "vek_corvane" / "inference_engine";
        std::filesystem::create_directories(bin);
        std::ofstream(bin / "installed_runtime.txt") << "Generic CPU";
        std::ofstream(bin / "libRuntimeLibrary.so") << "library";
    }

    // Connects once with an already configured server, then settles the runtime.
    void connectConfigured() {
        host->serverDocument = R"({"parameters":{"vekAI":{"siteID":"{site-1}"}}})";
        installRuntime();
        vekEngine()
            .runtimeManagerPass();  // connects, writes the server parameters, marks the runtime installed
        host->takeRequests();
        cloud().takeResets();
    }
};

TEST_F(LoopFixture, WithoutCloudTokenThePassEndsBeforeAnyRequest) {
    host->token.clear();
    vekEngine().runtimeManagerPass();
    EXPECT_EQ(vekEngine().getRegistrationManager().getState(), RegistrationManager::kNotConnected);
    EXPECT_TRUE(host->takeRequests().empty());
}

TEST_F(LoopFixture, FirstConfigurationWritesServerParametersAndResetsUninitialisedDevices) {
    host->devices =
        R"([{"id":"dev-a","parameters":{"vekAI":{}}},{"id":"dev-b","parameters":{"vekAI":{"models":{},"pipelines":[]}}},)"
        R"({"id":"dev-c","parameters":{}}])";
    vekEngine().runtimeManagerPass();

    const auto requests = host->takeRequests();
    ASSERT_GE(requests.size(), 4u);
    EXPECT_EQ(requests[0], "GET /rest/v4/servers/this");
    EXPECT_EQ(
        requests[1],
        R"(PATCH /rest/v4/servers/this {"parameters":{"vekAI":{"pluginVersion":"5.0.42","runtimeInformation":)"
        R"([{"mimetypes":[""],"name":""}],"availablePostprocessors":null,"availablePreprocessors":null}}})");
    EXPECT_EQ(
        requests[2],
        R"(PATCH /rest/v4/servers/this {"parameters":{"vekAI":{"pluginVersion":"5.0.42","runtimeInformation":)"
        R"([{"mimetypes":[""],"name":""}],"availablePreprocessors":{},"availablePostprocessors":)"
        R"({"LineCrossing":"Line Crossing","Object Counting":"Object Counting","Illegal Dumping":)"
        R"("Illegal Dumping","LoiteringDetection":"Loitering Detection"},"siteID":"site-1"}}})");
    EXPECT_EQ(requests[3], "GET /rest/v4/devices?serverId=5f0c2f55-98e1-4c35-a8ce-6a4a1a7a0001");
    EXPECT_EQ(countStartingWith(requests,
                                "PATCH /rest/v4/devices/dev-a {\"parameters\":{\"vekAI\":{\"models\":{},"
                                "\"pipelines\":[]}}}"),
              1u);
    EXPECT_EQ(countStartingWith(requests, "PATCH /rest/v4/devices/dev-b {\"parameters\":{\"vekAI\":{}}}"),
              1u);

    const auto resets = cloud().takeResets();
    ASSERT_EQ(resets.size(), 1u);
    EXPECT_EQ(resets[0].systemId, "site-1");
    EXPECT_EQ(
        resets[0].body,
        R"({"SystemId":"site-1","ServerId":"5f0c2f55-98e1-4c35-a8ce-6a4a1a7a0001","Devices":["dev-a"]})");
    EXPECT_EQ(resets[0].authorization, "token-1");
    EXPECT_EQ(resets[0].userAgent, "VEKAI-Plugin/5.0.42");

    // Connected now: the next pass goes on to the runtime step, whose outcome depends on the machine
    // (a choice to make, nothing compatible, or a download that the loopback store refuses).
    vekEngine().runtimeManagerPass();
    EXPECT_EQ(countStartingWith(host->takeRequests(), "GET /rest/v4/servers/this"), 0u);
    EXPECT_NE(vekEngine().getRuntimesManager().getState(), RuntimeState::NONE);
}

TEST_F(LoopFixture, ACloudThatFailsTheResetChangesNoDeviceAndTheLoopGoesOn) {
    host->devices = R"([{"id":"dev-a","parameters":{"vekAI":{}}}])";
    for (const auto answer : {LocalCloud::Answer::ServerError, LocalCloud::Answer::Malformed}) {
        cloud().answer = answer;
        vekEngine().getRegistrationManager().setState(RegistrationManager::kNotChecked);
        vekEngine().runtimeManagerPass();
        EXPECT_EQ(cloud().takeResets().size(), 1u);
        EXPECT_EQ(countStartingWith(host->takeRequests(), "PATCH /rest/v4/devices/"), 0u);
    }
    cloud().answer = LocalCloud::Answer::Normal;
    vekEngine().runtimeManagerPass();  // connected: the pass goes on to the runtime step
    EXPECT_EQ(countStartingWith(host->takeRequests(), "GET /rest/v4/servers/this"), 0u);
}

TEST_F(LoopFixture, AHostThatNeverAnswersEndsThePassAfterTheTimeout) {
    host->silent = true;
    vekEngine().runtimeManagerPass();
    EXPECT_EQ(host->takeRequests(), std::vector<std::string>{"GET /rest/v4/servers/this"});
    host->silent = false;
    vekEngine().runtimeManagerPass();
    EXPECT_FALSE(host->takeRequests().empty()) << "the next pass goes on";
}

TEST_F(LoopFixture, SiteIdInBracesIsUnchangedButAnotherCaseIsAChange) {
    host->serverDocument = R"({"parameters":{"vekAI":{"siteID":"{site-1}"}}})";
    rapidjson::Document sameSite;
    sameSite.Parse(host->serverDocument.c_str());
    EXPECT_FALSE(vekEngine().checkSiteIDChange(sameSite));
    rapidjson::Document otherCase;
    otherCase.Parse(R"({"parameters":{"vekAI":{"siteID":"SITE-1"}}})");
    EXPECT_TRUE(vekEngine().checkSiteIDChange(otherCase));
    rapidjson::Document unrecorded;
    unrecorded.Parse(R"({"parameters":{"vekAI":{}}})");
    EXPECT_FALSE(vekEngine().checkSiteIDChange(unrecorded));

    host->serverDocument = R"({"parameters":{"vekAI":{"siteID":"site-0"}}})";
    host->devices = R"([{"id":"dev-a","parameters":{"vekAI":{"models":{},"pipelines":[]}}}])";
    vekEngine().runtimeManagerPass();
    const auto resets = cloud().takeResets();
    ASSERT_EQ(resets.size(), 1u);
    EXPECT_NE(resets[0].body.find(R"("Devices":["dev-a"])"), std::string::npos);
}

TEST_F(LoopFixture, DeviceListIsProcessedWhenItChangesOrARefreshIsRequested) {
    connectConfigured();
    host->devices = R"([{"id":"dev-a","parameters":{"vekAI":{"models":{},"pipelines":[]}}}])";
    vekEngine().runtimeManagerPass();
    EXPECT_EQ(countStartingWith(host->takeRequests(), "GET /rest/v4/devices?serverId="), 1u);

    // Unchanged text and no refresh: nothing is processed, but waiters see the pass complete.
    vekEngine().runtimeManagerPass();
    EXPECT_EQ(countStartingWith(host->takeRequests(), "GET /rest/v4/devices?serverId="), 1u);
    std::atomic<bool> refreshed{false};
    std::thread refresher([&] {
        EXPECT_TRUE(vekEngine().requestImmediateDeviceParametersRefresh(5));
        refreshed.store(true);
    });
    while (!refreshed.load()) {
        vekEngine().runtimeManagerPass();
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    refresher.join();
    EXPECT_TRUE(cloud().takeResets().empty());
}

TEST_F(LoopFixture, RequestsAreServedInOrderAndClearTheirNotices) {
    connectConfigured();
    host->devices = R"([{"id":"dev-a","parameters":{"vekAI":{"models":{},"pipelines":[]}}}])";

    vekEngine().requestDeviceReset("dev-z");
    vekEngine().runtimeManagerPass();
    auto resets = cloud().takeResets();
    ASSERT_EQ(resets.size(), 1u);
    EXPECT_NE(resets[0].body.find(R"("Devices":["dev-z"])"), std::string::npos);
    EXPECT_EQ(vekEngine().getMessagingManager().getMessages().count("RESET_DEVICE"), 0u);

    const auto modelFile = data.path / "vek_corvane" / "cache" / "model_files" / "m.onnx";
    std::filesystem::create_directories(modelFile.parent_path());
    std::ofstream(modelFile) << "weights";
    vekEngine().requestClearCache();
    vekEngine().runtimeManagerPass();
    EXPECT_FALSE(std::filesystem::exists(modelFile));
    EXPECT_FALSE(std::filesystem::exists(data.path / "vek_corvane" / "inference_engine"));
    EXPECT_EQ(vekEngine().getRuntimesManager().getState(), RuntimeState::NONE);
    EXPECT_EQ(vekEngine().getMessagingManager().getMessages().count("CLEAR_CACHE"), 0u);
}

}  // namespace
