#include <gtest/gtest.h>

#include <vektest/temp_dir.h>

#include <vekcloud/local_cloud.h>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <thread>

#include "download_manager.h"
#include "messaging_manager.h"
#include "vekai_crypto.h"

namespace {

namespace fs = std::filesystem;

using vektest::TempDir;

std::string readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// The local cloud's model store serving one model, and a download manager in its own working directory.
struct ModelStore : ::testing::Test {
    TempDir site;
    TempDir work;
    std::string plain;
    std::unique_ptr<vekcloud::LocalCloud> cloud;
    MessagingManager messages;
    std::unique_ptr<DownloadManager> downloads;

    void SetUp() override {
        fs::create_directories(site.path / "models" / "m1");
        plain.resize(200000);
        for (size_t i = 0; i < plain.size(); ++i)
            plain[i] = static_cast<char>(i * 31 % 251);
        std::ofstream(site.path / "models" / "m1" / "weights.bin", std::ios::binary) << plain;
        std::ofstream(site.path / "models" / "m1" / "model.json")
            << R"({"UUID":"m1","Name":"M","UpdatedAt":"2025-01-01T00:00:00",)"
               R"("Downloads":[{"RuntimeArchitecture":"application/x-onnx","File":"weights.bin"}]})";
        vekcloud::CloudOptions options;
        options.siteDirectory = site.path;
        options.runtimesDirectory = site.path / "runtimes";
        cloud = std::make_unique<vekcloud::LocalCloud>(options);
        std::string error;
        ASSERT_TRUE(cloud->start(error)) << error;
        downloads = std::make_unique<DownloadManager>(work.path.string(), messages);
    }

    std::shared_ptr<ModelDetails_t> model() {
        auto details = std::make_shared<ModelDetails_t>();
        details->id = "m1";
        details->downloadUrl = cloud->baseUrl() + "/models/m1/weights.bin";
        details->downloadSize = static_cast<int64_t>(plain.size() + 28);
        details->sourcePath = (fs::path(downloads->modelFilesDirectory) / "weights.bin").string();
        details->keyPath = (fs::path(downloads->keysDirectory) / "m1.vekc").string();
        return details;
    }

    size_t modelRequests() {
        size_t count = 0;
        for (const auto& request : cloud->requests())
            count += request.path.rfind("/models/", 0) == 0;
        return count;
    }
};

TEST_F(ModelStore, DownloadsThroughTheRedirectKeepsTheKeyPrivateAndDecryptsToThePlainModel) {
    const auto m = model();
    downloads->checkModelDownloads({{"m1", m}}, "token-1");
    ASSERT_EQ(m->status, 2) << (m->errors.get().empty() ? "" : m->errors.get().front());
    EXPECT_EQ(m->downloadProgress, 100);
    EXPECT_EQ(fs::status(m->keyPath).permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write);
    EXPECT_FALSE(fs::exists(m->sourcePath + ".tmp"));
    for (const auto& request : cloud->requests()) {
        if (request.path.rfind("/storage/", 0) == 0) {
            EXPECT_FALSE(request.header("Authorization")) << "the token must not follow the redirect";
        }
    }

    const std::string key = readFile(m->keyPath);
    ASSERT_GE(key.size(), kVekaiKeyLength);
    const auto decrypted = work.path / "plain.bin";
    ASSERT_TRUE(vekai_crypto_decrypt_file_to_file(reinterpret_cast<const uint8_t*>(key.data()),
                                                  m->sourcePath.c_str(), decrypted.c_str()));
    EXPECT_EQ(readFile(decrypted), plain);

    // Present and not older than the cloud's copy: no request at all.
    const size_t before = modelRequests();
    const auto again = model();
    again->lastModified = 1;
    downloads->checkModelDownloads({{"m1", again}}, "token-1");
    EXPECT_EQ(again->status, 2);
    EXPECT_EQ(modelRequests(), before);

    // Updated on the cloud after the cached copy was written: downloaded again.
    const auto updated = model();
    updated->lastModified =
        std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch())
            .count() +
        3600;
    downloads->checkModelDownloads({{"m1", updated}}, "token-1");
    EXPECT_EQ(updated->status, 2);
    EXPECT_GT(modelRequests(), before);
}

TEST_F(ModelStore, FailuresAreRecordedOnceAndNotRetriedUntilCleared) {
    cloud->setFault("/models/m1", vekcloud::Fault{.status = 404, .body = std::string("no such model")});
    const auto m = model();
    downloads->checkModelDownloads({{"m1", m}}, "token-1");
    EXPECT_EQ(m->status, 4);
    ASSERT_EQ(m->errors.get().size(), 1u);
    const std::string error = m->errors.get().front();
    EXPECT_NE(error.find(" Code: 404 Line: "), std::string::npos) << error;
    EXPECT_NE(error.find(" Body: no such model"), std::string::npos) << error;
    EXPECT_EQ(downloads->getFailedModelDownloads(), std::vector<std::string>{"m1"});

    cloud->clearFaults();
    const size_t before = modelRequests();
    // The device list changed: the model's record is made anew and still shows why it failed.
    const auto fresh = model();
    downloads->checkModelDownloads({{"m1", fresh}}, "token-1");
    EXPECT_EQ(modelRequests(), before) << "a failed model waits for the user's retry";
    EXPECT_EQ(fresh->status, 4);
    EXPECT_EQ(fresh->errors.get(), std::vector<std::string>{error});
    downloads->clearFailedModelDownloads();
    const auto retried = model();
    downloads->checkModelDownloads({{"m1", retried}}, "token-1");
    EXPECT_EQ(retried->status, 2);
}

TEST_F(ModelStore, AnInterruptedBodyOrAMissingKeyLeavesNoModelFile) {
    cloud->setFault("/storage/", vekcloud::Fault{.truncateAfter = 1000});
    const auto cut = model();
    downloads->checkModelDownloads({{"m1", cut}}, "token-1");
    EXPECT_EQ(cut->status, 4);
    EXPECT_NE(cut->errors.get().front().find("Connection was interrupted before the download completed."),
              std::string::npos);
    EXPECT_FALSE(fs::exists(cut->sourcePath));
    EXPECT_FALSE(fs::exists(cut->sourcePath + ".tmp"));

    cloud->clearFaults();
    downloads->clearFailedModelDownloads();
    cloud->setFault("/storage/", vekcloud::Fault{.missingKey = true});
    const auto keyless = model();
    EXPECT_FALSE(downloads->downloadModelFile(*keyless, "token-1"));
    EXPECT_FALSE(fs::exists(keyless->sourcePath));
}

TEST_F(ModelStore, ModelsWithoutSizeAreNeverDownloaded) {
    const auto m = model();
    m->downloadSize.reset();
    downloads->checkModelDownloads({{"m1", m}}, "token-1");
    EXPECT_EQ(m->status, 0);
    EXPECT_EQ(modelRequests(), 0u);
}

}  // namespace

namespace {

TEST_F(ModelStore, AStopDuringASlowDownloadEndsItAndRecordsNoFailure) {
    cloud->setFault("/storage/", vekcloud::Fault{.chunkDelay = std::chrono::milliseconds(300)});
    const auto m = model();
    std::thread pass([&] { downloads->checkModelDownloads({{"m1", m}}, "token-1"); });
    while (m->status != 1)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    downloads->requestStop();
    pass.join();
    EXPECT_NE(m->status, 2);
    EXPECT_TRUE(downloads->getFailedModelDownloads().empty());
    EXPECT_FALSE(fs::exists(m->sourcePath + ".tmp"));
    EXPECT_FALSE(fs::exists(m->sourcePath));
}

}  // namespace
