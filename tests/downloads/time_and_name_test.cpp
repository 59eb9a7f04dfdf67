#include <gtest/gtest.h>

#include "utils/plugin_utils.h"

namespace {

TEST(StringToTime, ParsesUtcTextsAndRefusesOthers) {
    const char* httpDate = "%a, %d %b %Y %H:%M:%S GMT";
    EXPECT_EQ(Utils::stringToTime("Wed, 21 Oct 2015 07:28:00 GMT", httpDate), 1445412480);
    EXPECT_EQ(Utils::stringToTime("Thu, 01 Jan 1970 00:00:00 GMT", httpDate), 0);
    EXPECT_EQ(Utils::stringToTime("2024-02-29T12:00:00", "%Y-%m-%dT%H:%M:%S"), 1709208000);
    EXPECT_FALSE(Utils::stringToTime("yesterday", httpDate));
    EXPECT_FALSE(Utils::stringToTime("", httpDate));
}

TEST(FilenameFromUrl, TakesTheLastSegmentWithItsQuery) {
    const std::pair<const char*, const char*> cases[] = {
        {"https://store/models/m1/model.onnx", "model.onnx"},
        {"https://store/models/m1/model.onnx?sig=abc", "model.onnx?sig=abc"},
        {"https://store/models/", ""},
        {"model.onnx", ""},
    };
    for (const auto& [url, name] : cases)
        EXPECT_EQ(Utils::filenameFromUrl(url), name) << url;
}

}  // namespace
