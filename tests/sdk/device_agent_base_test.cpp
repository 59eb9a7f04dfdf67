#include <gtest/gtest.h>

#include <vek/sdk/analytics/helpers/consuming_device_agent.h>
#include <vek/sdk/analytics/helpers/engine.h>
#include <vek/sdk/analytics/helpers/metadata.h>
#include <vek/sdk/helpers/string.h>
#include <vector>

using namespace vek::sdk;
using namespace vek::sdk::analytics;

namespace {

class DeviceInfo : public RefCountable<IDeviceInfo> {
public:
    const char* id() const override { return "dev-1"; }
    const char* name() const override { return "Camera"; }
};

template <class PacketInterface>
class Packet : public RefCountable<PacketInterface> {
public:
    explicit Packet(int64_t timestamp) : timestamp(timestamp) {}
    int64_t timestampUs() const override { return timestamp; }
    const char* codec() const { return "h264"; }
    const uint8_t* data() const { return nullptr; }
    int dataSize() const { return 0; }

private:
    int64_t timestamp;
};

class Frame : public RefCountable<IUncompressedVideoFrame1> {
public:
    explicit Frame(int64_t timestamp) : timestamp(timestamp) {}
    int64_t timestampUs() const override { return timestamp; }
    int width() const override { return 2; }
    int height() const override { return 2; }
    PixelFormat pixelFormat() const override { return PixelFormat::yuv420; }
    int planeCount() const override { return 3; }
    const uint8_t* data(int) const override { return nullptr; }
    int lineSize(int) const override { return 2; }
    int dataSize(int) const override { return 4; }

private:
    int64_t timestamp;
};

class Handler : public RefCountable<IDeviceAgent::IHandler> {
public:
    void handleMetadata(IMetadataPacket* packet) override { timestamps.push_back(packet->timestampUs()); }
    void handleIntegrationDiagnosticEvent(IIntegrationDiagnosticEvent*) override {}
    void pushManifest(const IString*) override {}
    std::vector<int64_t> timestamps;
};

class Agent : public ConsumingDeviceAgent {
public:
    explicit Agent(const IDeviceInfo* info) : ConsumingDeviceAgent(info, false) {}
    using ConsumingDeviceAgent::pushDataPacket;
    std::string manifestString() const override { return "{}"; }
    bool pushUncompressedVideoFrame(IUncompressedVideoFrame1* frame) override {
        frames.push_back(frame->timestampUs());
        return acceptFrames;
    }
    bool pullMetadataPackets(MetadataPacketList* packets) override {
        auto* packet = new ObjectMetadataPacket();
        packet->setTimestampUs(frames.back());
        packets->push_back(packet);
        return true;
    }
    Result<const ISettingsResponse*> settingsReceived() override {
        ++settingsCalls;
        return {};
    }
    std::vector<int64_t> frames;
    bool acceptFrames = true;
    int settingsCalls = 0;
};

struct Fixture : ::testing::Test {
    Ptr<DeviceInfo> info{new DeviceInfo()};
    Ptr<Agent> agent{new Agent(info.get())};
    Ptr<Handler> handler{new Handler()};
};

TEST_F(Fixture, RoutesFramesAndDeliversPulledPackets) {
    agent->setHandler(handler.get());
    const Ptr<Frame> frame(new Frame(42));
    EXPECT_TRUE(agent->pushDataPacket(frame.get()).isOk());
    EXPECT_EQ(agent->frames, std::vector<int64_t>{42});
    EXPECT_EQ(handler->timestamps, std::vector<int64_t>{42});
}

TEST_F(Fixture, DropsNegativeTimestampsAndUnsupportedPackets) {
    agent->setHandler(handler.get());
    const Ptr<Frame> late(new Frame(-1));
    const Ptr<Packet<ICompressedVideoPacket1>> compressed(new Packet<ICompressedVideoPacket1>(5));
    const Ptr<Packet<IDataPacket>> unknown(new Packet<IDataPacket>(6));
    for (IDataPacket* packet :
         std::vector<IDataPacket*>{late.get(), compressed.get(), unknown.get(), nullptr})
        agent->pushDataPacket(packet);
    EXPECT_TRUE(agent->frames.empty());
    EXPECT_TRUE(handler->timestamps.empty());
}

TEST_F(Fixture, FailedPushOrMissingHandlerDeliversNothing) {
    const Ptr<Frame> frame(new Frame(7));
    agent->pushDataPacket(frame.get());  // no handler yet
    agent->acceptFrames = false;
    agent->setHandler(handler.get());
    agent->pushDataPacket(frame.get());
    EXPECT_EQ(agent->frames.size(), 2u);
    EXPECT_TRUE(handler->timestamps.empty());
}

TEST_F(Fixture, SettingsAreStoredOrRefused) {
    const Ptr<StringMap> values(new StringMap(std::map<std::string, std::string>{{"a", "1"}}));
    EXPECT_TRUE(agent->setSettings(values.get()).isOk());
    EXPECT_EQ(agent->settingValue("a"), "1");
    EXPECT_EQ(agent->settingValue("missing"), "");

    const auto refused = agent->setSettings(nullptr);
    EXPECT_EQ(refused.error.errorCode, ErrorCode::otherError);
    EXPECT_STREQ(refused.error.errorMessage->str(), "Settings are invalid");
    refused.error.errorMessage->releaseRef();
    EXPECT_EQ(agent->settingsCalls, 1);
    EXPECT_EQ(agent->currentSettings().size(), 1u);
}

}  // namespace
