#include <gtest/gtest.h>

#include <vek/sdk/helpers/uuid_helper.h>
#include <set>

using vek::sdk::Uuid;
using vek::sdk::UuidHelper;

namespace {

const char* kCanonical = "0123abcd-4567-89ef-0a1b-2c3d4e5f6789";

TEST(UuidHelper, ParsesEveryAcceptedTextForm) {
    const Uuid expected = UuidHelper::fromStdString(kCanonical);
    ASSERT_FALSE(expected.isNull());
    EXPECT_EQ(expected.bytes[0], 0x01);
    EXPECT_EQ(expected.bytes[15], 0x89);

    for (const char* text :
         {"0123abcd456789ef0a1b2c3d4e5f6789", "{0123ABCD-4567-89EF-0A1B-2C3D4E5F6789}",
          " 0123abcd-4567-89ef-0a1b-2c3d4e5f6789\n", "{0123abcd 4567 89ef 0a1b 2c3d4e5f6789}"}) {
        EXPECT_EQ(UuidHelper::fromStdString(text), expected) << text;
    }
}

TEST(UuidHelper, RejectsMalformedTextAsNull) {
    for (const char* text :
         {"", "0123abcd", "0123abcd-4567-89ef-0a1b-2c3d4e5f678", "0123abcd-4567-89ef-0a1b-2c3d4e5f678g",
          "0123abcd-4567-89ef-0a1b-2c3d4e5f67890", "x0123abcd-4567-89ef-0a1b-2c3d4e5f6789",
          "0123abcd_4567_89ef_0a1b_2c3d4e5f6789"}) {
        EXPECT_TRUE(UuidHelper::fromStdString(text).isNull()) << text;
    }
}

TEST(UuidHelper, FormatsWithEachOptionBit) {
    const Uuid uuid = UuidHelper::fromStdString(kCanonical);
    struct Case {
        int options;
        const char* expected;
    };
    const Case cases[] = {
        {UuidHelper::none, "0123abcd456789ef0a1b2c3d4e5f6789"},
        {UuidHelper::uppercase, "0123ABCD456789EF0A1B2C3D4E5F6789"},
        {UuidHelper::hyphens, "0123abcd-4567-89ef-0a1b-2c3d4e5f6789"},
        {UuidHelper::braces, "{0123abcd456789ef0a1b2c3d4e5f6789}"},
        {UuidHelper::uppercase | UuidHelper::hyphens | UuidHelper::braces,
         "{0123ABCD-4567-89EF-0A1B-2C3D4E5F6789}"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(UuidHelper::toStdString(uuid, c.options), c.expected) << c.options;
}

TEST(UuidHelper, RandomUuidsAreDistinctAndRoundTrip) {
    std::set<Uuid> seen;
    for (int i = 0; i < 1000; ++i) {
        const Uuid uuid = UuidHelper::randomUuid();
        EXPECT_TRUE(seen.insert(uuid).second);
        EXPECT_EQ(UuidHelper::fromStdString(UuidHelper::toStdString(uuid, UuidHelper::braces)), uuid);
    }
}

}  // namespace
