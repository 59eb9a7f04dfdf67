#include <gtest/gtest.h>

#include "setting_strings.h"

namespace {

TEST(SettingStrings, StageScopedNamesRoundTrip) {
    for (const std::string stageId : {"stage-1", "a_b", ""}) {
        for (const char* prefix :
             {SettingStrings::ModelNms, SettingStrings::CropBox, SettingStrings::LineCrossingLine,
              SettingStrings::VisualisationClasses, SettingStrings::ReferenceRun}) {
            const std::string name = SettingStrings::forStage(prefix, stageId);
            EXPECT_EQ(SettingStrings::stageOf(name, prefix), stageId) << name;
        }
    }
    EXPECT_FALSE(SettingStrings::stageOf("xmodel_nms_s", SettingStrings::ModelNms));
    EXPECT_FALSE(SettingStrings::stageOf("Model_nms_s", SettingStrings::ModelNms));
}

TEST(SettingStrings, ButtonsAndMaskGroupsFollowTheirNamingRules) {
    EXPECT_EQ(SettingStrings::selectAllButton("s1"), "selectAllButton_s1");
    EXPECT_EQ(SettingStrings::deselectAllButton("s1"), "deSelectAllButton_s1");
    EXPECT_EQ(SettingStrings::maskTypeTemplate("s1"), "maskType_#_s1");
    EXPECT_EQ(SettingStrings::polygonTemplate("s1"), "polygon#.figure_s1");

    const auto maskType = SettingStrings::parseMaskTypeName(SettingStrings::maskTypeName(12, "stage_x"));
    ASSERT_TRUE(maskType);
    EXPECT_EQ(maskType->maskIndex, 12);
    EXPECT_EQ(maskType->stageId, "stage_x");
    const auto polygon = SettingStrings::parsePolygonName("polygon3.figure_s.1");
    ASSERT_TRUE(polygon);
    EXPECT_EQ(polygon->maskIndex, 3);
    EXPECT_EQ(polygon->stageId, "s.1");

    for (const char* bad :
         {"maskType_#_s1", "maskType__s1", "maskType_3s1", "polygon1_s1", "polygon.figure_s"}) {
        EXPECT_FALSE(SettingStrings::parseMaskTypeName(bad) || SettingStrings::parsePolygonName(bad)) << bad;
    }
}

TEST(SettingStrings, ProcessorSettingsAreScopedToTheirStage) {
    const std::string name = SettingStrings::postprocessorSettingName("s1", "threshold");
    EXPECT_EQ(name, "s1_postprocessor_setting_threshold");
    EXPECT_EQ(SettingStrings::postprocessorSettingOf(name, "s1"), "threshold");
    EXPECT_FALSE(SettingStrings::postprocessorSettingOf(name, "s2"));
    EXPECT_FALSE(SettingStrings::preprocessorSettingOf(name, "s1"));
    EXPECT_EQ(
        SettingStrings::preprocessorSettingOf(SettingStrings::preprocessorSettingName("s2", "gain"), "s2"),
        "gain");
}

}  // namespace
