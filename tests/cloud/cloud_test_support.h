// Support for the local cloud's tests: a temporary site, a started cloud over it, a client set up as
// the plugin sets up its own, and an independent reading of the encrypted model layout.
#pragma once

#include <gtest/gtest.h>
#include <vek/network/http_client.h>
#include <vekcloud/local_cloud.h>

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace cloud_test {

class TempSite {
public:
    TempSite();
    ~TempSite();
    TempSite(const TempSite&) = delete;
    TempSite& operator=(const TempSite&) = delete;

    const std::filesystem::path& path() const { return root; }
    // Creates the parent folders as needed.
    void write(const std::string& relativePath, std::string_view content) const;

private:
    std::filesystem::path root;
};

// A site with one device-specific and one default pipelines document, default configurations and
// the model "m1" with the file "m1.bin", which the model store serves.
void writeStandardSite(const TempSite& site, std::string_view modelContent);

class CloudTest : public testing::Test {
protected:
    static constexpr const char* kToken = "token-123";
    static constexpr const char* kSystem = "system-1";

    void SetUp() override;
    void TearDown() override;
    // Overrides of the options before start, for tests that need them.
    virtual void adjust(vekcloud::CloudOptions&) {}

    // A client with the headers the plugin sends to the cloud.
    std::unique_ptr<vek::network::http::HttpClient> cloudClient() const;
    std::string url(std::string_view path) const { return cloud->baseUrl() + std::string(path); }
    std::vector<std::string> logLines() const;

    TempSite site;
    std::unique_ptr<vekcloud::LocalCloud> cloud;

private:
    struct Log;
    std::shared_ptr<Log> log;
};

struct FetchedBody {
    int status = 0;
    std::string body;
    bool complete = false;
};
// GETs a URL with the client and reads the whole body chunk by chunk; status 0 without a response.
FetchedBody fetch(vek::network::http::HttpClient& client, const std::string& url);

// The bytes of a standard Base64 text; none when it is not Base64.
std::optional<std::string> base64Decode(std::string_view text);
// Decrypts IV (12) + ciphertext + tag (16) with AES-256-GCM; none when the layout or the tag is wrong.
std::optional<std::string> decryptModel(std::string_view encrypted, std::string_view key);
std::string md5Hex(std::string_view bytes);

}  // namespace cloud_test
