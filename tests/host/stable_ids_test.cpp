#include <gtest/gtest.h>

#include <vek/sdk/helpers/uuid_helper.h>
#include <vekhost/stable_ids.h>

namespace vekhost {
namespace {

TEST(HostStableIds, NameBasedIdsAreStableDistinctAndVersionFive) {
    const vek::sdk::Uuid first = nameBasedUuid("server:/data/a");
    EXPECT_EQ(first, nameBasedUuid("server:/data/a"));
    EXPECT_NE(first, nameBasedUuid("server:/data/b"));
    EXPECT_NE(first, nameBasedUuid(""));
    EXPECT_EQ(first.bytes[6] >> 4, 5);
    EXPECT_EQ(first.bytes[8] & 0xc0, 0x80);
}

TEST(HostStableIds, TextIsTheHyphenatedLowerCaseForm) {
    const std::string text = stableId("server:/data/a");
    ASSERT_EQ(text.size(), 36u);
    for (size_t i : {8u, 13u, 18u, 23u})
        EXPECT_EQ(text[i], '-');
    EXPECT_EQ(text.find_first_not_of("0123456789abcdef-"), std::string::npos) << text;
    EXPECT_EQ(vek::sdk::UuidHelper::fromStdString(text), nameBasedUuid("server:/data/a"));
}

}  // namespace
}  // namespace vekhost
