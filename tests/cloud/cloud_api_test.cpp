// The AI cloud API of the local cloud: available pipelines and resets from the site, the headers it
// checks, and site mistakes reported rather than served.
#include <rapidjson/document.h>
#include <sys/stat.h>

#include <ctime>

#include "cloud_test_support.h"

using cloud_test::CloudTest;
using vek::Url;
using vek::network::http::HttpClient;

namespace {

std::string utcTime(time_t seconds) {
    tm parts{};
    gmtime_r(&seconds, &parts);
    char text[32];
    return std::string(text, std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &parts));
}

class CloudApi : public CloudTest {
protected:
    void SetUp() override {
        CloudTest::SetUp();
        cloud_test::writeStandardSite(site, "model bytes");
    }

    std::string pipelinesUrl(const std::string& device, const std::string& system = kSystem) const {
        return url("/system/" + system + "/device/" + device + "/available-pipelines");
    }

    cloud_test::FetchedBody reset(const std::string& body,
                                  const std::string& contentType = "application/json",
                                  const std::string& system = kSystem) {
        auto client = cloudClient();
        cloud_test::FetchedBody answer;
        if (client->doPost(Url(url("/reset/" + system)), contentType, body)) {
            answer.status = client->response()->statusLine.statusCode;
            answer.body = client->fetchEntireMessageBody().value_or("<unreadable>");
        }
        return answer;
    }
};

TEST_F(CloudApi, DeviceGetsItsOwnPipelines) {
    auto client = cloudClient();
    const auto answer = cloud_test::fetch(*client, pipelinesUrl("{dev-1}"));
    EXPECT_EQ(answer.status, 200);
    EXPECT_EQ(answer.body, R"([{"uuid":"p1","name":"Special","models":[{"UUID":"inline"}]}])");
    EXPECT_EQ(client->response()->headers.getHeaderValue("Content-Type"), "application/json");
}

TEST_F(CloudApi, OtherDevicesGetTheDefaultWithModelsDescribed) {
    auto client = cloudClient();
    const auto answer = cloud_test::fetch(*client, pipelinesUrl("{dev-9}"));
    ASSERT_EQ(answer.status, 200) << answer.body;
    rapidjson::Document document;
    document.Parse(answer.body.c_str());
    ASSERT_TRUE(document.IsArray() && document.Size() == 1) << answer.body;
    const auto& pipeline = document[0];
    EXPECT_STREQ(pipeline["uuid"].GetString(), "p-default");
    EXPECT_EQ(pipeline["admin"].GetString(), cloud->baseUrl() + "/system/system-1/device/{dev-9}");

    const auto& model = pipeline["models"][0];
    ASSERT_TRUE(model.IsObject());
    EXPECT_STREQ(model["UUID"].GetString(), "m1");
    EXPECT_STREQ(model["Name"].GetString(), "Model one");
    EXPECT_EQ(model["InputDriverDetails"]["width"].GetInt(), 4);
    const auto& download = model["Downloads"][0];
    struct stat status {};
    ASSERT_EQ(stat((site.path() / "models/m1/m1.bin").c_str(), &status), 0);
    EXPECT_STREQ(download["RuntimeArchitecture"].GetString(), "application/x-onnx");
    EXPECT_EQ(download["Url"].GetString(), cloud->baseUrl() + "/models/m1/m1.bin");
    EXPECT_EQ(download["LastModified"].GetString(), utcTime(status.st_mtime));
    EXPECT_EQ(download["Size"].GetUint64(), std::string("model bytes").size() + 28);
    EXPECT_FALSE(download.HasMember("File"));
    EXPECT_EQ(model["UpdatedAt"].GetString(), utcTime(status.st_mtime));
}

TEST_F(CloudApi, MissingModelFileLeavesItsDownloadOut) {
    std::filesystem::remove(site.path() / "models/m1/m1.bin");
    auto client = cloudClient();
    const auto answer = cloud_test::fetch(*client, pipelinesUrl("{dev-9}"));
    ASSERT_EQ(answer.status, 200);
    rapidjson::Document document;
    document.Parse(answer.body.c_str());
    EXPECT_EQ(document[0]["models"][0]["Downloads"].Size(), 0u);
    bool warned = false;
    for (const auto& line : logLines()) {
        warned |= line.find("'m1.bin'") != std::string::npos && line.starts_with("Warning");
    }
    EXPECT_TRUE(warned);
}

struct HeaderCase {
    const char* name;
    std::optional<std::string> authorization;
    std::optional<std::string> userAgent;
    std::string system;
    int expectedStatus;
};

void PrintTo(const HeaderCase& c, std::ostream* out) {
    *out << c.name;
}

class CloudApiHeaders : public CloudApi, public testing::WithParamInterface<HeaderCase> {};

TEST_P(CloudApiHeaders, AreChecked) {
    const HeaderCase& c = GetParam();
    HttpClient client(vek::network::ssl::kDefaultCertificateCheck);
    if (c.authorization) {
        client.addAdditionalHeader("Authorization", *c.authorization);
    }
    if (c.userAgent) {
        client.addAdditionalHeader("User-Agent", *c.userAgent);
    }
    const auto answer = cloud_test::fetch(client, pipelinesUrl("{dev-1}", c.system));
    EXPECT_EQ(answer.status, c.expectedStatus);
    if (c.expectedStatus != 200) {
        EXPECT_TRUE(answer.body.starts_with(R"({"error":)")) << answer.body;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, CloudApiHeaders,
    testing::Values(HeaderCase{"Accepted", "token-123", "VEKAI-Plugin/5.0.42", "system-1", 200},
                    HeaderCase{"NoToken", std::nullopt, "VEKAI-Plugin/5.0.42", "system-1", 401},
                    HeaderCase{"WrongToken", "token-999", "VEKAI-Plugin/5.0.42", "system-1", 401},
                    HeaderCase{"OtherAgent", "token-123", "curl/7.88", "system-1", 400},
                    HeaderCase{"NoAgent", "token-123", std::nullopt, "system-1", 400},
                    HeaderCase{"UnknownSystem", "token-123", "VEKAI-Plugin/5.0.42", "system-2", 404},
                    HeaderCase{"EmptySystem", "token-123", "VEKAI-Plugin/5.0.42", "", 404}),
    [](const testing::TestParamInfo<HeaderCase>& info) { return info.param.name; });

struct SiteMistake {
    const char* name;
    const char* file;
    const char* content;
    const char* reasonFragment;
};

void PrintTo(const SiteMistake& c, std::ostream* out) {
    *out << c.name;
}

class CloudApiSiteMistakes : public CloudApi, public testing::WithParamInterface<SiteMistake> {};

TEST_P(CloudApiSiteMistakes, AreServerErrorsWithTheReason) {
    site.write(GetParam().file, GetParam().content);
    auto client = cloudClient();
    const auto answer = cloud_test::fetch(*client, pipelinesUrl("{dev-9}"));
    EXPECT_EQ(answer.status, 500);
    EXPECT_NE(answer.body.find(GetParam().reasonFragment), std::string::npos) << answer.body;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, CloudApiSiteMistakes,
    testing::Values(SiteMistake{"MalformedJson", "pipelines/default.json", "[{", "pipelines/default.json"},
                    SiteMistake{"NotAnArray", "pipelines/default.json", "{}", "not an array"},
                    SiteMistake{"UnknownModel", "pipelines/default.json", R"([{"models":["nope"]}])", "nope"},
                    SiteMistake{"ModelNamedWrongly", "models/m1/model.json", R"({"UUID":"m2"})", "UUID"},
                    SiteMistake{"UnsafeModelId", "pipelines/default.json", R"([{"models":[".."]}])", ".."}),
    [](const testing::TestParamInfo<SiteMistake>& info) { return info.param.name; });

TEST_F(CloudApi, SiteWithoutPipelinesAnswersNotFound) {
    std::filesystem::remove_all(site.path() / "pipelines");
    auto client = cloudClient();
    EXPECT_EQ(cloud_test::fetch(*client, pipelinesUrl("{dev-1}")).status, 404);
}

TEST_F(CloudApi, ResetAnswersEachDevicesDefaultConfiguration) {
    const std::string body =
        R"({"SystemId":"system-1","ServerId":"{srv}","Devices":["{dev-1}","{dev-2}","{dev-1}"]})";
    const auto answer = reset(body);
    ASSERT_EQ(answer.status, 200) << answer.body;
    rapidjson::Document document;
    document.Parse(answer.body.c_str());
    const auto& devices = document["Devices"];
    ASSERT_EQ(devices.MemberCount(), 2u);
    EXPECT_STREQ(devices.MemberBegin()->name.GetString(), "{dev-1}");
    const auto& first = devices["{dev-1}"];
    EXPECT_TRUE(first["PluginEnabled"].GetBool());
    EXPECT_EQ(first["deviceAdmin"].GetString(), cloud->baseUrl() + "/admin/{dev-1}");
    EXPECT_STREQ(first["models"][0]["Downloads"][0]["RuntimeArchitecture"].GetString(), "application/x-onnx");
    EXPECT_NE(answer.body.find(R"("{dev-2}":{"PluginEnabled":false,"pipelines":[]})"), std::string::npos);

    const auto requests = cloud->requests();
    ASSERT_FALSE(requests.empty());
    EXPECT_EQ(requests.back().method, "POST");
    EXPECT_EQ(requests.back().path, "/reset/system-1");
    EXPECT_EQ(requests.back().body, body);
    EXPECT_EQ(requests.back().header("authorization"), kToken);
}

TEST_F(CloudApi, ResetLeavesOutDevicesWithoutDefaults) {
    std::filesystem::remove(site.path() / "defaults/default.json");
    auto answer = reset(R"({"SystemId":"system-1","ServerId":"s","Devices":["{dev-1}","{dev-2}"]})");
    EXPECT_EQ(answer.status, 200);
    EXPECT_EQ(answer.body, R"({"Devices":{"{dev-2}":{"PluginEnabled":false,"pipelines":[]}}})");
    answer = reset(R"({"SystemId":"system-1","ServerId":"s","Devices":[]})");
    EXPECT_EQ(answer.body, R"({"Devices":{}})");
}

struct BadReset {
    const char* name;
    const char* contentType;
    const char* body;
    const char* system;
    int expectedStatus;
};

void PrintTo(const BadReset& c, std::ostream* out) {
    *out << c.name;
}

class CloudApiBadResets : public CloudApi, public testing::WithParamInterface<BadReset> {};

TEST_P(CloudApiBadResets, AreRefused) {
    const BadReset& c = GetParam();
    EXPECT_EQ(reset(c.body, c.contentType, c.system).status, c.expectedStatus);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, CloudApiBadResets,
    testing::Values(BadReset{"NotJsonContent", "text/plain",
                             R"({"SystemId":"system-1","ServerId":"s","Devices":[]})", "system-1", 415},
                    BadReset{"MalformedBody", "application/json", "{", "system-1", 400},
                    BadReset{"OtherSystemInBody", "application/json",
                             R"({"SystemId":"x","ServerId":"s","Devices":[]})", "system-1", 400},
                    BadReset{"NoServer", "application/json", R"({"SystemId":"system-1","Devices":[]})",
                             "system-1", 400},
                    BadReset{"DevicesNotAList", "application/json",
                             R"({"SystemId":"system-1","ServerId":"s","Devices":"d"})", "system-1", 400},
                    BadReset{"DeviceNotAText", "application/json",
                             R"({"SystemId":"system-1","ServerId":"s","Devices":[1]})", "system-1", 400},
                    BadReset{"UnknownSystem", "application/json",
                             R"({"SystemId":"x","ServerId":"s","Devices":[]})", "x", 404}),
    [](const testing::TestParamInfo<BadReset>& info) { return info.param.name; });

}  // namespace
