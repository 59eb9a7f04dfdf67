#include <gtest/gtest.h>
#include <unistd.h>

#include <vekhost/plugin_host.h>
#include <filesystem>

namespace {

namespace fs = std::filesystem;

struct TempDir {
    explicit TempDir(const std::string& tag)
        : path(fs::temp_directory_path() / (tag + "-" + std::to_string(::getpid()))) {
        fs::remove_all(path);
        fs::create_directories(path);
    }
    ~TempDir() { fs::remove_all(path); }
    fs::path path;
};

// The real plugin in the reference host, without a cloud: the server's store and the plugin's
// cache keep the user's values, and buttons change what the next page shows.
TEST(HostSettingsPage, ValuesAreKeptAcrossHostRestartsAndButtonsShowTheirEffect) {
    TempDir home("vek-settings-home");
    TempDir data("vek-settings-data");
    vekhost::HostConfig config;
    config.pluginPath = VEK_PLUGIN_PATH;
    config.provider.homeDir = home.path.string();
    config.provider.dataDir = data.path.string();
    config.provider.serverId = "6a1b2c3d-0000-4000-8000-000000000009";
    const vekhost::CameraDescription camera{"0123abcd-4567-89ef-0a1b-2c3d4e5f0009", "Gate"};
    {
        auto loaded = vekhost::PluginHost::load(config);
        ASSERT_TRUE(loaded) << loaded.error();
        auto& host = *loaded.value();
        ASSERT_TRUE(host.obtainEngine());
        auto recorder = vekhost::MetadataRecorder::create(std::nullopt);
        auto index = host.addCamera(camera, recorder.value());
        ASSERT_TRUE(index);

        auto applied = host.applyDeviceSettings(*index, {{"model_nms_s1", "70"}, {"note_s1", "a\nb"}});
        ASSERT_TRUE(applied) << applied.error();
        EXPECT_EQ(applied->values.at("model_nms_s1"), "70");
        EXPECT_NE(applied->model.find("\"type\":\"Settings\""), std::string::npos);

        auto pressed = host.pressDeviceButton(*index, "clearCacheButton");
        ASSERT_TRUE(pressed) << pressed.error();
        EXPECT_NE(pressed->model.find("Plugin is clearing the cache"), std::string::npos);
        auto page = host.deviceSettings(*index);
        ASSERT_TRUE(page) << page.error();
        EXPECT_NE(page->model.find("Plugin is clearing the cache"), std::string::npos);
        host.release();
    }
    auto reloaded = vekhost::PluginHost::load(config);
    ASSERT_TRUE(reloaded) << reloaded.error();
    auto& host = *reloaded.value();
    ASSERT_TRUE(host.obtainEngine());
    auto recorder = vekhost::MetadataRecorder::create(std::nullopt);
    auto index = host.addCamera(camera, recorder.value());
    ASSERT_TRUE(index);
    auto page = host.deviceSettings(*index);
    ASSERT_TRUE(page) << page.error();
    EXPECT_EQ(page->values.at("model_nms_s1"), "70");
    EXPECT_EQ(page->values.at("note_s1"), "a\nb");
    host.release();
}

}  // namespace
