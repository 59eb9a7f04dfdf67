#include <gtest/gtest.h>

#include <vek/sdk/analytics/helpers/metadata.h>
#include <vek/sdk/analytics/i_plugin.h>
#include <vek/sdk/entry_points.h>
#include <algorithm>
#include <fstream>
#include <latch>
#include <sstream>
#include <thread>

#include "device_agent.h"
#include "engine.h"
#include "test_host.h"
#include "vekai_utilities/vekai_utils.h"

using namespace vek::sdk;
using namespace vek::sdk::analytics;
using vek::vms_server_plugins::analytics::vekai::DeviceAgent;
using VekEngine = vek::vms_server_plugins::analytics::vekai::Engine;

namespace {

class Frame : public RefCountable<IUncompressedVideoFrame1> {
public:
    explicit Frame(int64_t timestamp) : timestamp(timestamp) {}
    int64_t timestampUs() const override { return timestamp; }
    int width() const override { return 4; }
    int height() const override { return 2; }
    PixelFormat pixelFormat() const override { return PixelFormat::yuv420; }
    int planeCount() const override { return 3; }
    const uint8_t* data(int) const override { return pixels; }
    int lineSize(int plane) const override { return plane == 0 ? 4 : 2; }
    int dataSize(int plane) const override { return plane == 0 ? 8 : 2; }

private:
    int64_t timestamp;
    uint8_t pixels[8] = {};
};

// Records what reaches the host; optionally holds the first delivery until released.
class Handler : public RefCountable<IDeviceAgent::IHandler> {
public:
    void handleMetadata(IMetadataPacket* packet) override {
        if (holdFirst && !held.exchange(true)) {
            entered.count_down();
            release.wait();
        }
        std::lock_guard lock(mutex);
        if (auto objects = Ptr<IObjectMetadataPacket>(packet->queryInterface<IObjectMetadataPacket>()))
            kinds.push_back("objects");
        else if (auto events = Ptr<IEventMetadataPacket>(packet->queryInterface<IEventMetadataPacket>()))
            kinds.push_back("events");
        else
            kinds.push_back("bestshot");
    }
    void handleIntegrationDiagnosticEvent(IIntegrationDiagnosticEvent*) override {}
    void pushManifest(const IString*) override {}

    std::vector<std::string> received() {
        std::lock_guard lock(mutex);
        return kinds;
    }

    bool holdFirst = false;
    std::atomic<bool> held{false};
    std::latch entered{1};
    std::latch release{1};

private:
    std::mutex mutex;
    std::vector<std::string> kinds;
};

struct AgentFixture : ::testing::Test {
    testhost::TempDir home{"vek-home"};
    testhost::TempDir data{"vek-data"};
    Ptr<IEngine> engine;
    Ptr<IDeviceAgent> agent;
    Ptr<Handler> handler{new Handler()};

    void SetUp() override {
        auto plugin = Ptr<IIntegration>(createVekPlugin()).queryInterface<IPlugin>();
        const Ptr<testhost::UtilityProvider> provider(
            new testhost::UtilityProvider(home.path.string(), data.path.string()));
        plugin->setUtilityProvider(provider.get());
        engine = Ptr<IEngine>(plugin->obtainEngine().value);
        ASSERT_TRUE(engine);
        const Ptr<testhost::DeviceInfo> info(
            new testhost::DeviceInfo("0123abcd456789ef0a1b2c3d4e5f0001", "Cam"));
        agent = Ptr<IDeviceAgent>(engine->obtainDeviceAgent(info.get()).value);
        ASSERT_TRUE(agent);
        agent->setHandler(handler.get());
    }

    VekEngine& vekEngine() { return *static_cast<VekEngine*>(engine.get()); }
    DeviceAgent& vekAgent() { return *static_cast<DeviceAgent*>(agent.get()); }
    // Frames that reached the inference manager, which has no models yet and says so once per frame.
    size_t framesSent() {
        const std::string log = logAfterShutdown();
        size_t count = 0;
        const std::string line = "Warning! Tried sending message to inference engine before it's initialized";
        for (auto at = log.find(line); at != std::string::npos; at = log.find(line, at + 1))
            ++count;
        return count;
    }

    void push(int64_t timestamp) {
        const Ptr<Frame> frame(new Frame(timestamp));
        ASSERT_TRUE(agent.queryInterface<IConsumingDeviceAgent>()->pushDataPacket(frame.get()).isOk());
    }

    void setActive(bool active) {
        auto settings = vekAgent().getDeviceSettingsCopy();
        settings->active = active;
        vekAgent().setSettings(settings);
    }

    std::string logAfterShutdown() {
        agent.reset();
        engine.reset();
        std::ifstream in(data.path / "vek_corvane" / "vekai_plugin_start.log");
        std::stringstream content;
        content << in.rdbuf();
        return content.str();
    }
};

TEST_F(AgentFixture, FramesGoToInferenceOnlyWhenConnectedAndActive) {
    EXPECT_TRUE(vekAgent().isHandlerSet());
    setActive(true);
    push(vekai_current_timestamp_us());  // not connected to the cloud: dropped
    vekEngine().getRegistrationManager().setState(RegistrationManager::kConnected);
    setActive(false);
    push(vekai_current_timestamp_us());  // device inactive: dropped
    setActive(true);
    push(vekai_current_timestamp_us());
    EXPECT_EQ(framesSent(), 1u);
}

TEST_F(AgentFixture, FrameWithoutSettingsIsDroppedWithAWarning) {
    vekEngine().getRegistrationManager().setState(RegistrationManager::kConnected);
    vekAgent().setSettings(nullptr);
    push(vekai_current_timestamp_us());
    const std::string log = logAfterShutdown();
    EXPECT_NE(log.find("Warning! Device agent does not have settings!\n"), std::string::npos);
    EXPECT_EQ(log.find("Warning! Tried sending message"), std::string::npos);
}

TEST_F(AgentFixture, OldFrameIsStillSentWithAnAgeWarning) {
    vekEngine().getRegistrationManager().setState(RegistrationManager::kConnected);
    setActive(true);
    const int64_t oneSecondAgo = vekai_current_timestamp_us() - 1000000;
    push(oneSecondAgo);
    const std::string expected =
        "Frame time: " + std::to_string(oneSecondAgo) + " Device: 0123abcd-4567-89ef-0a1b-2c3d4e5f0001\n";
    const std::string log = logAfterShutdown();
    EXPECT_NE(log.find("Warning! Tried sending message"), std::string::npos) << "an old frame is still sent";
    EXPECT_NE(log.find("Warning! Frame age over 500ms. Time now:  "), std::string::npos);
    EXPECT_NE(log.find(expected), std::string::npos) << log;
}

TEST_F(AgentFixture, ResultsReachTheHostInOrderWhileTheAgentLives) {
    auto callback = vekAgent().resultCallback();
    ObjectPacketPtr objects(new ObjectMetadataPacket());
    objects->addItem(Ptr<ObjectMetadata>(new ObjectMetadata()));
    EventPacketPtr events(new EventMetadataPacket());
    std::vector<BestShotPacketPtr> shots{BestShotPacketPtr(new ObjectTrackBestShotPacket(Uuid{}, 1)),
                                         BestShotPacketPtr(new ObjectTrackBestShotPacket(Uuid{}, 2))};
    callback(objects, events, shots);
    EXPECT_EQ(handler->received(), (std::vector<std::string>{"objects", "events", "bestshot", "bestshot"}));

    agent.reset();
    callback(objects, events, shots);  // the agent is gone: nothing is delivered, nothing is touched
    EXPECT_EQ(handler->received().size(), 4u);
}

TEST_F(AgentFixture, DestructionWaitsForADeliveryAlreadyUnderWay) {
    handler->holdFirst = true;
    auto callback = vekAgent().resultCallback();
    std::vector<std::string> order;
    std::mutex orderMutex;
    auto note = [&](const char* what) {
        std::lock_guard lock(orderMutex);
        order.emplace_back(what);
    };

    std::thread delivery([&] {
        callback(ObjectPacketPtr(new ObjectMetadataPacket()), {}, {});
        note("delivered");
    });
    handler->entered.wait();
    std::thread release([&] {
        agent.reset();
        note("destroyed");
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));  // let the release reach its wait
    note("unblocking");
    handler->release.count_down();
    delivery.join();
    release.join();

    const auto position = [&](const std::string& what) {
        return std::find(order.begin(), order.end(), what);
    };
    ASSERT_EQ(order.size(), 3u);
    EXPECT_LT(position("unblocking"), position("destroyed"));
    EXPECT_EQ(vekEngine().deviceAgentCount(), 0u);
}

}  // namespace
