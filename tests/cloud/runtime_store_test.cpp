// The runtime store: packages under the download link template with their MD5 header, from the site or
// from a folder of its own, and no path that leads outside the store.
#include <vekcloud/runtime_store.h>

#include "cloud_test_support.h"

using cloud_test::CloudTest;

namespace {

std::string packageBytes(size_t size, unsigned seed) {
    std::string bytes(size, '\0');
    for (size_t i = 0; i < size; ++i) {
        bytes[i] = static_cast<char>((i * 131 + seed) % 256);
    }
    return bytes;
}

class RuntimeStoreTest : public CloudTest {};

TEST_F(RuntimeStoreTest, ServesPackagesWithTheirChecksum) {
    const std::vector<std::pair<std::string, std::string>> packages = {
        {"CPU/x86_64/Ubuntu/library.tar.gz", packageBytes(200000, 1)},
        {"DEEPX/x86_64/Ubuntu/22.04/library-dxrt-v3.3.2.tar.gz", packageBytes(70000, 2)},
        {"HAILO/aarch64/Ubuntu/library-4.20.0.tar.gz", packageBytes(0, 3)},
    };
    for (const auto& [path, content] : packages) {
        site.write("runtimes/" + path, content);
    }
    for (const auto& [path, content] : packages) {
        vek::network::http::HttpClient client(vek::network::ssl::kAcceptAnyCertificate);
        const auto answer = cloud_test::fetch(client, cloud->runtimeStoreUrl() + path);
        ASSERT_EQ(answer.status, 200) << path;
        EXPECT_TRUE(answer.complete);
        EXPECT_EQ(answer.body, content) << path;
        const auto& headers = client.response()->headers;
        EXPECT_EQ(headers.getHeaderValue("X-Checksum-Md5"), cloud_test::md5Hex(content)) << path;
        EXPECT_EQ(headers.getHeaderValue("Content-Length"), std::to_string(content.size()));
    }
    EXPECT_EQ(cloud->runtimeStoreUrl(), cloud->baseUrl() + "/artifactory/vekai_open/OAAX/runtimes/2.0.0/");
}

TEST_F(RuntimeStoreTest, MissingPackageIsNotFound) {
    site.write("runtimes/CPU/x86_64/Ubuntu/library.tar.gz", "x");
    for (const char* path : {"CPU/x86_64/Ubuntu/library-1.tar.gz", "CPU/x86_64/Ubuntu",
                             "NVIDIA_ORT/x86_64/Ubuntu/library-cuda_12.tar.gz"}) {
        vek::network::http::HttpClient client(vek::network::ssl::kAcceptAnyCertificate);
        EXPECT_EQ(cloud_test::fetch(client, cloud->runtimeStoreUrl() + path).status, 404) << path;
    }
}

class SeparateRuntimeFolder : public CloudTest {
protected:
    void adjust(vekcloud::CloudOptions& options) override { options.runtimesDirectory = packages.path(); }
    cloud_test::TempSite packages;
};

TEST_F(SeparateRuntimeFolder, ServesFromThatFolder) {
    packages.write("CPU/x86_64/Ubuntu/library.tar.gz", "built package");
    site.write("runtimes/CPU/x86_64/Ubuntu/library.tar.gz", "site package");
    vek::network::http::HttpClient client(vek::network::ssl::kAcceptAnyCertificate);
    EXPECT_EQ(cloud_test::fetch(client, cloud->runtimeStoreUrl() + "CPU/x86_64/Ubuntu/library.tar.gz").body,
              "built package");
}

TEST(RuntimeStorePaths, NeverLeaveTheStore) {
    cloud_test::TempSite folder;
    folder.write("store/CPU/x86_64/Ubuntu/library.tar.gz", "package");
    folder.write("secret.txt", "secret");
    const vekcloud::RuntimeStore store(folder.path() / "store");
    EXPECT_EQ(store.package("CPU/x86_64/Ubuntu/library.tar.gz"),
              folder.path() / "store/CPU/x86_64/Ubuntu/library.tar.gz");
    for (const char* path : {"../secret.txt", "CPU/../../secret.txt", "./CPU/x86_64/Ubuntu/library.tar.gz",
                             "CPU//x86_64/Ubuntu/library.tar.gz", "/secret.txt", "", "CPU/x86_64",
                             "CPU/x86_64/Ubuntu/library.tar.gz/"}) {
        EXPECT_EQ(store.package(path), std::nullopt) << path;
    }
}

TEST(RuntimeStorePaths, Md5OfFiles) {
    cloud_test::TempSite folder;
    const std::string content = packageBytes(150000, 9);
    folder.write("p.tar.gz", content);
    EXPECT_EQ(vekcloud::md5Hex(folder.path() / "p.tar.gz"), cloud_test::md5Hex(content));
    folder.write("empty", "");
    EXPECT_EQ(vekcloud::md5Hex(folder.path() / "empty"), "d41d8cd98f00b204e9800998ecf8427e");
    EXPECT_EQ(vekcloud::md5Hex(folder.path() / "absent"), std::nullopt);
}

}  // namespace
