#include "cloud_test_support.h"

#include <openssl/evp.h>
#include <unistd.h>

#include <fstream>
#include <mutex>

namespace cloud_test {

TempSite::TempSite() {
    std::string pattern = (std::filesystem::temp_directory_path() / "vekcloud_test_XXXXXX").string();
    if (mkdtemp(pattern.data())) {
        root = pattern;
    }
}

TempSite::~TempSite() {
    std::error_code ignored;
    if (!root.empty()) {
        std::filesystem::remove_all(root, ignored);
    }
}

void TempSite::write(const std::string& relativePath, std::string_view content) const {
    const auto file = root / relativePath;
    std::filesystem::create_directories(file.parent_path());
    std::ofstream stream(file, std::ios::binary | std::ios::trunc);
    stream.write(content.data(), static_cast<std::streamsize>(content.size()));
    ASSERT_TRUE(stream.good()) << file;
}

void writeStandardSite(const TempSite& site, std::string_view modelContent) {
    site.write("pipelines/default.json",
               R"([{"uuid":"p-default","name":"Default","models":["m1"],)"
               R"("admin":"{cloud}/system/{systemId}/device/{deviceId}","pipelines":[{"modelUUID":"m1"}]}])");
    site.write("pipelines/{dev-1}.json", R"([{"uuid":"p1","name":"Special","models":[{"UUID":"inline"}]}])");
    site.write("defaults/default.json",
               R"({"PluginEnabled":true,"deviceAdmin":"{cloud}/admin/{deviceId}","models":["m1"]})");
    site.write("defaults/{dev-2}.json", R"({"PluginEnabled":false,"pipelines":[]})");
    site.write(
        "models/m1/model.json",
        R"({"Name":"Model one","Downloads":[{"RuntimeArchitecture":"application/x-onnx","File":"m1.bin"}],)"
        R"("InputDriverDetails":{"width":4}})");
    site.write("models/m1/m1.bin", modelContent);
    site.write("models/m1/unlisted.bin", "not served");
}

struct CloudTest::Log {
    std::mutex mutex;
    std::vector<std::string> lines;
};

void CloudTest::SetUp() {
    ASSERT_FALSE(site.path().empty());
    log = std::make_shared<Log>();
    vekcloud::CloudOptions options;
    options.siteDirectory = site.path();
    options.systemId = kSystem;
    options.token = kToken;
    options.log = [sink = log](std::string_view line) {
        std::lock_guard lock(sink->mutex);
        sink->lines.emplace_back(line);
    };
    adjust(options);
    cloud = std::make_unique<vekcloud::LocalCloud>(options);
    std::string error;
    ASSERT_TRUE(cloud->start(error)) << error;
}

void CloudTest::TearDown() {
    cloud.reset();
}

std::vector<std::string> CloudTest::logLines() const {
    std::lock_guard lock(log->mutex);
    return log->lines;
}

std::unique_ptr<vek::network::http::HttpClient> CloudTest::cloudClient() const {
    auto client =
        std::make_unique<vek::network::http::HttpClient>(vek::network::ssl::kDefaultCertificateCheck);
    client->setAllTimeouts(std::chrono::seconds(20));
    client->addAdditionalHeader("User-Agent", "VEKAI-Plugin/5.0.42");
    client->addAdditionalHeader("Authorization", kToken);
    return client;
}

FetchedBody fetch(vek::network::http::HttpClient& client, const std::string& url) {
    FetchedBody fetched;
    if (!client.doGet(vek::Url(url)) || !client.response()) {
        return fetched;
    }
    fetched.status = client.response()->statusLine.statusCode;
    while (!client.eof()) {
        fetched.body += client.fetchMessageBodyBuffer();
    }
    fetched.complete = client.hasRequestSucceeded();
    return fetched;
}

std::optional<std::string> base64Decode(std::string_view text) {
    if (text.empty() || text.size() % 4 != 0) {
        return std::nullopt;
    }
    std::string bytes(text.size() / 4 * 3, '\0');
    const int length =
        EVP_DecodeBlock(reinterpret_cast<unsigned char*>(bytes.data()),
                        reinterpret_cast<const unsigned char*>(text.data()), static_cast<int>(text.size()));
    if (length < 0) {
        return std::nullopt;
    }
    // The decoder counts padding as zero bytes.
    const size_t padding = text.ends_with("==") ? 2 : text.ends_with('=') ? 1 : 0;
    bytes.resize(static_cast<size_t>(length) - padding);
    return bytes;
}

std::optional<std::string> decryptModel(std::string_view encrypted, std::string_view key) {
    constexpr size_t kIv = 12;
    constexpr size_t kTag = 16;
    if (encrypted.size() < kIv + kTag || key.size() != 32) {
        return std::nullopt;
    }
    const auto* bytes = reinterpret_cast<const unsigned char*>(encrypted.data());
    const std::unique_ptr<EVP_CIPHER_CTX, decltype(&EVP_CIPHER_CTX_free)> context(EVP_CIPHER_CTX_new(),
                                                                                  &EVP_CIPHER_CTX_free);
    std::string plain(encrypted.size() - kIv - kTag, '\0');
    std::string tag(encrypted.substr(encrypted.size() - kTag));
    int written = 0;
    int finalWritten = 0;
    unsigned char rest[EVP_MAX_BLOCK_LENGTH];
    const bool decrypted =
        context && EVP_DecryptInit_ex(context.get(), EVP_aes_256_gcm(), nullptr, nullptr, nullptr) == 1 &&
        EVP_CIPHER_CTX_ctrl(context.get(), EVP_CTRL_GCM_SET_IVLEN, kIv, nullptr) == 1 &&
        EVP_DecryptInit_ex(context.get(), nullptr, nullptr,
                           reinterpret_cast<const unsigned char*>(key.data()), bytes) == 1 &&
        EVP_DecryptUpdate(context.get(), reinterpret_cast<unsigned char*>(plain.data()), &written,
                          bytes + kIv, static_cast<int>(plain.size())) == 1 &&
        EVP_CIPHER_CTX_ctrl(context.get(), EVP_CTRL_GCM_SET_TAG, kTag, tag.data()) == 1 &&
        EVP_DecryptFinal_ex(context.get(), rest, &finalWritten) == 1;
    if (!decrypted || static_cast<size_t>(written) != plain.size()) {
        return std::nullopt;
    }
    return plain;
}

std::string md5Hex(std::string_view bytes) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_Digest(bytes.data(), bytes.size(), digest, &length, EVP_md5(), nullptr);
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string hex;
    for (unsigned int i = 0; i < length; ++i) {
        hex += kDigits[digest[i] >> 4];
        hex += kDigits[digest[i] & 0x0f];
    }
    return hex;
}

}  // namespace cloud_test
