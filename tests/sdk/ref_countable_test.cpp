#include <gtest/gtest.h>

#include <vek/sdk/analytics/i_data_packet.h>
#include <vek/sdk/entry_points.h>
#include <vek/sdk/helpers/lib_context.h>
#include <vek/sdk/helpers/string.h>
#include <set>

using namespace vek::sdk;

namespace {

class Registry : public IRefCountableRegistry {
public:
    void notifyCreated(const IRefCountable* object) override { live.insert(object); }
    void notifyDestroyed(const IRefCountable* object) override { live.erase(object); }
    std::set<const IRefCountable*> live;
};

class RegistryScope {
public:
    RegistryScope() { LibContext::instance().setRefCountableRegistry(&registry); }
    ~RegistryScope() { LibContext::instance().setRefCountableRegistry(nullptr); }
    Registry registry;
};

class Frame : public RefCountable<analytics::IUncompressedVideoFrame1> {
public:
    int64_t timestampUs() const override { return 0; }
    int width() const override { return 0; }
    int height() const override { return 0; }
    PixelFormat pixelFormat() const override { return PixelFormat::yuv420; }
    int planeCount() const override { return 3; }
    const uint8_t* data(int) const override { return nullptr; }
    int lineSize(int) const override { return 0; }
    int dataSize(int) const override { return 0; }
};

TEST(RefCountable, CountsReferencesAndDeletesAtZero) {
    RegistryScope scope;
    auto* text = new String("x");
    EXPECT_EQ(scope.registry.live.count(text), 1u);
    EXPECT_EQ(text->addRef(), 2);
    EXPECT_EQ(text->releaseRef(), 1);
    EXPECT_EQ(text->releaseRef(), 0);
    EXPECT_TRUE(scope.registry.live.empty());
}

TEST(RefCountable, QueryInterfaceAnswersOwnAndBaseIdsOnly) {
    RegistryScope scope;
    const Ptr<Frame> frame(new Frame());
    for (const char* id : {"vek::sdk::analytics::IUncompressedVideoFrame1",
                           "vek::sdk::analytics::IDataPacket", "vek::sdk::IRefCountable"}) {
        IRefCountable* answer = frame->queryInterface(InterfaceId{id});
        ASSERT_EQ(answer, static_cast<IRefCountable*>(frame.get())) << id;
        EXPECT_EQ(frame->refCountThreadUnsafe(), 2);
        answer->releaseRef();
    }
    for (const char* id :
         {"vek::sdk::analytics::ICompressedVideoPacket1", "vek::sdk::IString", "", "IDataPacket"})
        EXPECT_EQ(frame->queryInterface(InterfaceId{id}), nullptr) << id;
    EXPECT_EQ(frame->refCountThreadUnsafe(), 1);
}

TEST(RefCountable, PtrSharesAndReleasesExactlyOnce) {
    RegistryScope scope;
    {
        Ptr<String> first(new String("a"));
        Ptr<String> second = first;
        EXPECT_EQ(first->refCountThreadUnsafe(), 2);
        Ptr<String> third = std::move(second);
        EXPECT_FALSE(second);
        EXPECT_EQ(first->refCountThreadUnsafe(), 2);
        const auto queried = first.queryInterface<IString>();
        EXPECT_EQ(first->refCountThreadUnsafe(), 3);
    }
    EXPECT_TRUE(scope.registry.live.empty());
}

TEST(LibContext, UnitTestOptionsAreReplacedButNotByNull) {
    const Ptr<StringMap> options(new StringMap(std::map<std::string, std::string>{{"a", "1"}}));
    vekSetUnitTestOptions(options.get());
    vekSetUnitTestOptions(nullptr);
    EXPECT_EQ(LibContext::instance().unitTestOptions(), (std::map<std::string, std::string>{{"a", "1"}}));
    EXPECT_STREQ(vekSdkVersion(), "6.1.4 R1");
    EXPECT_EQ(vekLibContext(), &LibContext::instance());
}

}  // namespace
