#include <gtest/gtest.h>
#include <unistd.h>

#include <vekhost/device_settings_store.h>
#include <filesystem>

namespace {

namespace fs = std::filesystem;

TEST(HostSettingsStore, ValuesSurviveANewStoreAndStayPerDevice) {
    const fs::path directory =
        fs::temp_directory_path() / ("host_settings_store_" + std::to_string(::getpid()));
    fs::remove_all(directory);
    fs::create_directories(directory);
    const fs::path file = directory / "store.json";
    const vekhost::SettingValues first = {{"model_nms_s1", "70"}, {"note", "two\nlines \"quoted\""}};
    {
        vekhost::DeviceSettingsStore store(file);
        EXPECT_TRUE(store.values("a").empty());
        ASSERT_TRUE(store.store("a", first).ok());
        ASSERT_TRUE(store.store("b", {{"deviceActiveSwitch", "true"}}).ok());
    }
    vekhost::DeviceSettingsStore reopened(file);
    EXPECT_EQ(reopened.values("a"), first);
    EXPECT_EQ(reopened.values("b"), (vekhost::SettingValues{{"deviceActiveSwitch", "true"}}));
    fs::remove_all(directory);
}

TEST(HostSettingsStore, PageEmbedsAJsonModelAndQuotesAnyOther) {
    vekhost::DeviceSettingsPage page{R"({"type":"Settings"})", {{"a", "1"}}, ""};
    EXPECT_EQ(vekhost::pageJson(page),
              "{\n    \"model\": {\n        \"type\": \"Settings\"\n    },\n    \"values\": {\n        "
              "\"a\": \"1\"\n"
              "    }\n}");
    page.model = "not json";
    page.values.clear();
    page.actionUrl = "https://x";
    EXPECT_EQ(vekhost::pageJson(page),
              "{\n    \"model\": \"not json\",\n    \"values\": {},\n    \"actionUrl\": \"https://x\"\n}");
}

}  // namespace
