// The model store: the redirect to the storage, the token kept away from it, and model files that
// decrypt, with the key from "X-Key", to exactly the site's plain file.
#include "cloud_test_support.h"

using cloud_test::CloudTest;
using vek::Url;

namespace {

std::string pattern(size_t size) {
    std::string bytes(size, '\0');
    for (size_t i = 0; i < size; ++i) {
        bytes[i] = static_cast<char>((i * 7 + i / 251) & 0xff);
    }
    return bytes;
}

struct Download {
    int firstStatus = 0;
    std::optional<std::string> location;
    cloud_test::FetchedBody stored;
    std::optional<std::string> keyHeader;
    std::optional<std::string> contentLength;
};

class ModelStore : public CloudTest {
protected:
    void SetUp() override {
        CloudTest::SetUp();
        cloud_test::writeStandardSite(site, plain);
    }

    // As the plugin downloads: the redirect answer taken as it is, then followed without the token.
    Download download(const std::string& path) const {
        Download result;
        auto client = cloudClient();
        client->setMaxNumberOfRedirects(0);
        if (!client->doGet(Url(url(path)))) {
            return result;
        }
        result.firstStatus = client->response()->statusLine.statusCode;
        result.location = client->response()->headers.getHeaderValue("Location");
        if (!result.location) {
            return result;
        }
        client->removeAdditionalHeader("Authorization");
        client->setMaxNumberOfRedirects(10);
        result.stored = cloud_test::fetch(*client, *result.location);
        if (client->response()) {
            result.keyHeader = client->response()->headers.getHeaderValue("X-Key");
            result.contentLength = client->response()->headers.getHeaderValue("Content-Length");
        }
        return result;
    }

    std::string plain = pattern(100000);
};

TEST_F(ModelStore, DownloadDecryptsToThePlainFile) {
    const Download result = download("/models/m1/m1.bin");
    EXPECT_EQ(result.firstStatus, 307);
    EXPECT_EQ(result.location, cloud->baseUrl() + "/storage/models/m1/m1.bin");
    ASSERT_EQ(result.stored.status, 200);
    EXPECT_TRUE(result.stored.complete);
    EXPECT_EQ(result.stored.body.size(), plain.size() + 28);
    EXPECT_EQ(result.contentLength, std::to_string(plain.size() + 28));
    ASSERT_TRUE(result.keyHeader.has_value());
    EXPECT_EQ(result.keyHeader->size(), 44u);
    const auto key = cloud_test::base64Decode(*result.keyHeader);
    ASSERT_TRUE(key.has_value());
    ASSERT_EQ(key->size(), 32u);
    EXPECT_EQ(cloud_test::decryptModel(result.stored.body, *key), plain);

    const auto requests = cloud->requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].header("Authorization"), kToken);
    EXPECT_EQ(requests[1].path, "/storage/models/m1/m1.bin");
    EXPECT_EQ(requests[1].header("Authorization"), std::nullopt);
}

TEST_F(ModelStore, EveryDownloadUsesTheModelKeyWithAFreshIv) {
    const Download first = download("/models/m1/m1.bin");
    const Download second = download("/models/m1/m1.bin");
    ASSERT_TRUE(first.keyHeader && second.keyHeader);
    EXPECT_EQ(*first.keyHeader, *second.keyHeader);
    EXPECT_NE(first.stored.body.substr(0, 12), second.stored.body.substr(0, 12));
    const auto key = cloud_test::base64Decode(*first.keyHeader).value_or("");
    EXPECT_EQ(cloud_test::decryptModel(first.stored.body, key), plain);
    EXPECT_EQ(cloud_test::decryptModel(second.stored.body, key), plain);
}

class ModelSizes : public ModelStore, public testing::WithParamInterface<size_t> {};

TEST_P(ModelSizes, RoundTrip) {
    const std::string content = pattern(GetParam());
    site.write("models/m1/m1.bin", content);
    const Download result = download("/models/m1/m1.bin");
    ASSERT_EQ(result.stored.status, 200);
    EXPECT_EQ(result.stored.body.size(), content.size() + 28);
    const auto key = cloud_test::base64Decode(result.keyHeader.value_or("")).value_or("");
    EXPECT_EQ(cloud_test::decryptModel(result.stored.body, key), content);
}

INSTANTIATE_TEST_SUITE_P(Bytes, ModelSizes, testing::Values(0, 1, 1024, 65536, 65537, 3u << 20));

TEST_F(ModelStore, StorageRefusesTheToken) {
    // A client that follows the redirect itself keeps the token on the same server.
    auto client = cloudClient();
    auto answer = cloud_test::fetch(*client, url("/models/m1/m1.bin"));
    EXPECT_EQ(answer.status, 403);
    EXPECT_EQ(client->response()->headers.getHeaderValue("X-Key"), std::nullopt);
    answer = cloud_test::fetch(*client, url("/storage/models/m1/m1.bin"));
    EXPECT_EQ(answer.status, 403);
}

TEST_F(ModelStore, ModelDownloadNeedsTheToken) {
    vek::network::http::HttpClient client(vek::network::ssl::kAcceptAnyCertificate);
    client.addAdditionalHeader("User-Agent", "VEKAI-Plugin/5.0.42");
    client.setMaxNumberOfRedirects(0);
    EXPECT_EQ(cloud_test::fetch(client, url("/models/m1/m1.bin")).status, 401);
}

TEST_F(ModelStore, OnlyFilesNamedByTheModelAreServed) {
    for (const char* path : {"/models/m1/unlisted.bin", "/models/m1/model.json", "/models/m2/m1.bin",
                             "/models/..%2Fm1/m1.bin", "/models/m1/..%2F..%2Fpipelines%2Fdefault.json"}) {
        auto client = cloudClient();
        client->setMaxNumberOfRedirects(0);
        EXPECT_EQ(cloud_test::fetch(*client, url(path)).status, 404) << path;
    }
    for (const char* path : {"/storage/models/m1/unlisted.bin", "/storage/models/m1/model.json"}) {
        vek::network::http::HttpClient client(vek::network::ssl::kAcceptAnyCertificate);
        EXPECT_EQ(cloud_test::fetch(client, url(path)).status, 404) << path;
    }
}

}  // namespace
