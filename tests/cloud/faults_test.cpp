// Every fault switch of the local cloud, seen through the project's HTTP client: what a client gets
// when the cloud delays, refuses, fails, truncates, corrupts, or sends wrong checksums and keys.
#include <future>
#include <thread>

#include "cloud_test_support.h"

using cloud_test::CloudTest;
using vek::Url;
using vekcloud::Fault;
using namespace std::chrono_literals;

namespace {

constexpr const char* kPackagePath = "CPU/x86_64/Ubuntu/library.tar.gz";

std::string bytes(size_t size, unsigned seed) {
    std::string text(size, '\0');
    for (size_t i = 0; i < size; ++i) {
        text[i] = static_cast<char>((i * 31 + seed + i / 4093) & 0xff);
    }
    return text;
}

struct ModelDownload {
    cloud_test::FetchedBody stored;
    std::optional<std::string> keyHeader;
};

class Faults : public CloudTest {
protected:
    void SetUp() override {
        CloudTest::SetUp();
        cloud_test::writeStandardSite(site, model);
        site.write(std::string("runtimes/") + kPackagePath, package);
    }

    std::string pipelinesUrl(const std::string& device = "{dev-9}") const {
        return url("/system/system-1/device/" + device + "/available-pipelines");
    }
    std::string packageUrl() const { return cloud->runtimeStoreUrl() + kPackagePath; }

    cloud_test::FetchedBody get(const std::string& target, std::chrono::milliseconds timeout = 20s) const {
        auto client = cloudClient();
        client->setAllTimeouts(timeout);
        return cloud_test::fetch(*client, target);
    }

    // The storage request of a model download, made as the plugin makes it after the redirect.
    ModelDownload downloadModel(std::chrono::milliseconds timeout = 20s) const {
        vek::network::http::HttpClient client(vek::network::ssl::kAcceptAnyCertificate);
        client.setAllTimeouts(timeout);
        ModelDownload result;
        result.stored = cloud_test::fetch(client, url("/storage/models/m1/m1.bin"));
        if (client.response()) {
            result.keyHeader = client.response()->headers.getHeaderValue("X-Key");
        }
        return result;
    }

    std::optional<std::string> packageChecksum() const {
        vek::network::http::HttpClient client(vek::network::ssl::kAcceptAnyCertificate);
        if (!client.doGet(Url(packageUrl()))) {
            return std::nullopt;
        }
        return client.response()->headers.getHeaderValue("X-Checksum-Md5");
    }

    bool requestArrived(const std::string& path) const {
        for (int attempt = 0; attempt < 2000; ++attempt) {
            for (const auto& request : cloud->requests()) {
                if (request.path == path) {
                    return true;
                }
            }
            std::this_thread::sleep_for(10ms);
        }
        return false;
    }

    const std::string model = bytes(200000, 1);
    const std::string package = bytes(300000, 2);
};

TEST_F(Faults, StatusAnswersInPlaceOfTheRoute) {
    cloud->setFault("/system/", Fault{.status = 500});
    cloud->setFault("/storage/", Fault{.status = 404});
    cloud->setFault("/artifactory/", Fault{.status = 503});
    auto answer = get(pipelinesUrl());
    EXPECT_EQ(answer.status, 500);
    EXPECT_EQ(answer.body, "injected fault\n");
    EXPECT_EQ(downloadModel().stored.status, 404);
    EXPECT_EQ(get(packageUrl()).status, 503);
    auto client = cloudClient();
    client->setMaxNumberOfRedirects(0);
    EXPECT_EQ(cloud_test::fetch(*client, url("/models/m1/m1.bin")).status, 307);
}

TEST_F(Faults, ReplacedBodyCanBeMalformedJson) {
    cloud->setFault("/system/", Fault{.body = "[{\"uuid\":"});
    const auto answer = get(pipelinesUrl());
    EXPECT_EQ(answer.status, 200);
    EXPECT_TRUE(answer.complete);
    EXPECT_EQ(answer.body, "[{\"uuid\":");
    cloud->setFault("/reset/", Fault{.status = 502, .body = "bad gateway"});
    auto client = cloudClient();
    ASSERT_TRUE(client->doPost(Url(url("/reset/system-1")), "application/json",
                               R"({"SystemId":"system-1","ServerId":"s","Devices":[]})"));
    EXPECT_EQ(client->response()->statusLine.statusCode, 502);
    EXPECT_EQ(client->fetchEntireMessageBody(), "bad gateway");
}

TEST_F(Faults, LongestPrefixWinsUntilCleared) {
    cloud->setFault("/system/", Fault{.status = 500});
    cloud->setFault("/system/system-1/device/{dev-1}", Fault{.status = 503});
    EXPECT_EQ(get(pipelinesUrl("{dev-1}")).status, 503);
    EXPECT_EQ(get(pipelinesUrl("{dev-9}")).status, 500);
    cloud->clearFault("/system/system-1/device/{dev-1}");
    EXPECT_EQ(get(pipelinesUrl("{dev-1}")).status, 500);
    cloud->clearFaults();
    EXPECT_EQ(get(pipelinesUrl("{dev-1}")).status, 200);
}

TEST_F(Faults, TruncatedBodiesEndEarly) {
    cloud->setFault("/system/", Fault{.truncateAfter = 10});
    cloud->setFault("/storage/", Fault{.truncateAfter = 70000});
    cloud->setFault("/artifactory/", Fault{.truncateAfter = 0});
    auto answer = get(pipelinesUrl());
    EXPECT_EQ(answer.status, 200);
    EXPECT_FALSE(answer.complete);
    EXPECT_EQ(answer.body.size(), 10u);
    const auto download = downloadModel();
    EXPECT_EQ(download.stored.status, 200);
    EXPECT_FALSE(download.stored.complete);
    EXPECT_EQ(download.stored.body.size(), 70000u);
    answer = get(packageUrl());
    EXPECT_EQ(answer.status, 200);
    EXPECT_FALSE(answer.complete);
    EXPECT_TRUE(answer.body.empty());
}

class CorruptedModel : public Faults, public testing::WithParamInterface<uint64_t> {};

TEST_P(CorruptedModel, FailsTheTagCheck) {
    cloud->setFault("/storage/", Fault{.corruptAt = GetParam()});
    const auto download = downloadModel();
    ASSERT_TRUE(download.stored.complete);
    ASSERT_EQ(download.stored.body.size(), model.size() + 28);
    const auto key = cloud_test::base64Decode(download.keyHeader.value_or("")).value_or("");
    EXPECT_EQ(cloud_test::decryptModel(download.stored.body, key), std::nullopt);
    cloud->clearFaults();
    const auto intact = downloadModel();
    EXPECT_EQ(cloud_test::decryptModel(intact.stored.body, key), model);
}

// The IV, the first and a later ciphertext byte, and the last byte of the tag.
INSTANTIATE_TEST_SUITE_P(Offsets, CorruptedModel, testing::Values(0, 12, 150000, 200000 + 27));

TEST_F(Faults, CorruptedPackageNoLongerMatchesItsChecksum) {
    cloud->setFault("/artifactory/", Fault{.corruptAt = 100000});
    vek::network::http::HttpClient client(vek::network::ssl::kAcceptAnyCertificate);
    const auto answer = cloud_test::fetch(client, packageUrl());
    ASSERT_TRUE(answer.complete);
    ASSERT_EQ(answer.body.size(), package.size());
    EXPECT_NE(answer.body[100000], package[100000]);
    EXPECT_EQ(answer.body.substr(0, 100000), package.substr(0, 100000));
    EXPECT_EQ(client.response()->headers.getHeaderValue("X-Checksum-Md5"), cloud_test::md5Hex(package));
    EXPECT_NE(cloud_test::md5Hex(answer.body), cloud_test::md5Hex(package));
}

TEST_F(Faults, WrongChecksumNamesOtherContent) {
    cloud->setFault("/artifactory/", Fault{.wrongChecksum = true});
    const auto checksum = packageChecksum();
    ASSERT_TRUE(checksum.has_value());
    EXPECT_EQ(checksum->size(), 32u);
    EXPECT_NE(*checksum, cloud_test::md5Hex(package));
    EXPECT_EQ(get(packageUrl()).body, package);
    cloud->clearFaults();
    EXPECT_EQ(packageChecksum(), cloud_test::md5Hex(package));
}

TEST_F(Faults, MissingAndWrongKeys) {
    const auto key = cloud_test::base64Decode(downloadModel().keyHeader.value_or("")).value_or("");
    cloud->setFault("/storage/", Fault{.missingKey = true});
    auto download = downloadModel();
    EXPECT_EQ(download.stored.status, 200);
    EXPECT_EQ(download.keyHeader, std::nullopt);
    EXPECT_EQ(cloud_test::decryptModel(download.stored.body, key), model);

    cloud->setFault("/storage/", Fault{.wrongKey = true});
    download = downloadModel();
    const auto wrongKey = cloud_test::base64Decode(download.keyHeader.value_or("")).value_or("");
    ASSERT_EQ(wrongKey.size(), 32u);
    EXPECT_NE(wrongKey, key);
    EXPECT_EQ(cloud_test::decryptModel(download.stored.body, wrongKey), std::nullopt);
    EXPECT_EQ(cloud_test::decryptModel(download.stored.body, key), model);
}

// The delay outlasts any test run; the client's own time-out must end the wait.
TEST_F(Faults, DelayedAnswerTimesTheClientOut) {
    cloud->setFault("/system/", Fault{.delay = 1h});
    EXPECT_EQ(get(pipelinesUrl(), 300ms).status, 0);
    EXPECT_TRUE(requestArrived("/system/system-1/device/{dev-9}/available-pipelines"));
    cloud->setFault("/system/", Fault{.delay = 50ms});
    EXPECT_EQ(get(pipelinesUrl()).status, 200);
}

TEST_F(Faults, SlowBodyArrivesWholeOrTimesOut) {
    cloud->setFault("/storage/", Fault{.chunkDelay = 20ms});
    const auto slow = downloadModel();
    ASSERT_TRUE(slow.stored.complete);
    const auto key = cloud_test::base64Decode(slow.keyHeader.value_or("")).value_or("");
    EXPECT_EQ(cloud_test::decryptModel(slow.stored.body, key), model);

    cloud->setFault("/storage/", Fault{.chunkDelay = 1h});
    const auto stalled = downloadModel(300ms);
    EXPECT_EQ(stalled.stored.status, 200);
    EXPECT_FALSE(stalled.stored.complete);
}

TEST_F(Faults, RefusedConnectionsThenListeningAgainOnTheSamePort) {
    const std::string before = cloud->baseUrl();
    ASSERT_TRUE(cloud->setRefusingConnections(true));
    cloud->clearRequests();
    EXPECT_EQ(get(pipelinesUrl()).status, 0);
    EXPECT_EQ(get(packageUrl()).status, 0);
    EXPECT_TRUE(cloud->requests().empty());
    ASSERT_TRUE(cloud->setRefusingConnections(false));
    EXPECT_EQ(cloud->baseUrl(), before);
    EXPECT_EQ(get(pipelinesUrl()).status, 200);
}

// Requests held by a delay or a slow body are cut short; otherwise stopping would hang the test.
TEST_F(Faults, StoppingCutsDelaysShort) {
    cloud->setFault("/system/", Fault{.delay = 1h});
    cloud->setFault("/storage/", Fault{.chunkDelay = 1h});
    auto delayed = std::async(std::launch::async, [this] { return get(pipelinesUrl(), 1h); });
    auto slow = std::async(std::launch::async, [this] { return downloadModel(1h); });
    ASSERT_TRUE(requestArrived("/system/system-1/device/{dev-9}/available-pipelines"));
    ASSERT_TRUE(requestArrived("/storage/models/m1/m1.bin"));
    cloud->setRefusingConnections(true);
    EXPECT_NE(delayed.get().status, 200);
    EXPECT_FALSE(slow.get().stored.complete);
}

}  // namespace
