#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "device_settings.h"

namespace {

namespace fs = std::filesystem;
using DeviceSettings::Values;

class SettingsCache : public ::testing::Test {
protected:
    void SetUp() override {
        directory =
            fs::temp_directory_path() / ("settings_cache_" + std::to_string(::getpid()) + "_" +
                                         ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(directory);
        path = DeviceSettings::cacheFilePath((directory / "nested" / "cache").string(), "dev-1");
    }
    void TearDown() override { fs::remove_all(directory); }

    std::string fileText() const {
        std::ifstream file(path, std::ios::binary);
        std::stringstream text;
        text << file.rdbuf();
        return text.str();
    }
    void writeFile(const std::string& text) const {
        fs::create_directories(fs::path(path).parent_path());
        std::ofstream(path, std::ios::binary) << text;
    }

    fs::path directory;
    std::string path;
};

TEST_F(SettingsCache, PathNamesTheDevice) {
    EXPECT_EQ(DeviceSettings::cacheFilePath("/w/cache", "abc"), "/w/cache/abc_settings_cache.txt");
}

TEST_F(SettingsCache, OrdinaryValuesAreNamedLinesInNameOrderWithoutSwitchAndChoice) {
    ASSERT_TRUE(DeviceSettings::saveCache(path, {{"model_nms_s1", "42"},
                                                 {"deviceActiveSwitch", "true"},
                                                 {"selectedPipeline", "p1"},
                                                 {"Zeta", "a=b"},
                                                 {"cropBox_s1", R"({"figure":{"points":[[0,0],[1,1]]}})"},
                                                 {"empty", ""},
                                                 {"path", "C:\\dir"}}));
    EXPECT_EQ(fileText(),
              "Zeta=a=b\n"
              "cropBox_s1={\"figure\":{\"points\":[[0,0],[1,1]]}}\n"
              "empty=\n"
              "model_nms_s1=42\n"
              "path=C:\\dir\n");
}

TEST_F(SettingsCache, EveryValueSurvivesSaveAndLoad) {
    const Values values = {
        {"model_nms_s1", "42"},
        {"note_s1", "first line\nsecond=line\r\nthird\\n literal"},
        {"injected", "x\nmodel_nms_s1=1"},
        {"trailing", "ends with break\n"},
        {"slashes", "\\\\server\\share"},
        {"odd=name", "v"},
        {"\\lead", "w"},
        {"empty", ""},
    };
    ASSERT_TRUE(DeviceSettings::saveCache(path, values));
    EXPECT_EQ(DeviceSettings::loadCache(path), values);
}

TEST_F(SettingsCache, FilesOfThePlainFormatReadAsBefore) {
    writeFile("a=b=c\nno equals sign\n\nname=\nrepeat=1\nrepeat=2\n  spaced = kept \nlast=unterminated");
    EXPECT_EQ(
        DeviceSettings::loadCache(path),
        (Values{
            {"a", "b=c"}, {"name", ""}, {"repeat", "2"}, {"  spaced ", " kept "}, {"last", "unterminated"}}));
}

TEST_F(SettingsCache, MissingFileIsEmptyAndUnwritablePathFails) {
    EXPECT_TRUE(DeviceSettings::loadCache(path).empty());
    writeFile("");
    const std::string blocked = (fs::path(path) / "sub" / "x.txt").string();
    EXPECT_FALSE(DeviceSettings::saveCache(blocked, {{"a", "1"}}));
}

}  // namespace
