#include <gtest/gtest.h>

#include <vek/sdk/helpers/string.h>

using namespace vek::sdk;

namespace {

TEST(StringMap, KeepsInsertionOrderAndReplacesInPlace) {
    const Ptr<StringMap> map(new StringMap());
    map->setItem("b", "1");
    map->setItem("a", "2");
    map->setItem("b", "3");
    ASSERT_EQ(map->count(), 2);
    EXPECT_STREQ(map->key(0), "b");
    EXPECT_STREQ(map->value(0), "3");
    EXPECT_STREQ(map->key(1), "a");
    EXPECT_EQ(map->key(2), nullptr);
    EXPECT_EQ(map->value(-1), nullptr);
}

TEST(StringMap, LookupByKeySeesLaterChanges) {
    const Ptr<StringMap> map(new StringMap());
    map->setItem("x", "1");
    EXPECT_STREQ(map->value("x"), "1");  // builds the lookup cache
    map->setItem("y", "2");
    map->setItem("x", "3");
    EXPECT_STREQ(map->value("x"), "3");
    EXPECT_STREQ(map->value("y"), "2");
    EXPECT_EQ(map->value("z"), nullptr);
    EXPECT_EQ(map->value(static_cast<const char*>(nullptr)), nullptr);
    map->clear();
    EXPECT_EQ(map->value("x"), nullptr);
}

// A host map may hand out null items; such a map is refused rather than half-copied.
class BrokenMap : public RefCountable<IStringMap> {
public:
    int count() const override { return 2; }
    const char* key(int index) const override { return index == 0 ? "ok" : nullptr; }
    const char* value(int) const override { return "v"; }
    const char* value(const char*) const override { return nullptr; }
};

TEST(StringMap, ConversionRefusesNullMapsAndNullItems) {
    std::map<std::string, std::string> out{{"keep", "me"}};
    EXPECT_FALSE(toStdMap(nullptr, &out));
    const Ptr<BrokenMap> broken(new BrokenMap());
    EXPECT_FALSE(toStdMap(broken.get(), &out));
    EXPECT_EQ(out.size(), 1u);

    const Ptr<StringMap> good(new StringMap(std::map<std::string, std::string>{{"k", "v"}}));
    ASSERT_TRUE(toStdMap(good.get(), &out));
    EXPECT_EQ(out, (std::map<std::string, std::string>{{"k", "v"}}));
}

}  // namespace
