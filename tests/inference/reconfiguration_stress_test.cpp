// The frame path of real device agents under load while the model set changes, inference stops and
// restarts, and an agent goes away with results still in flight. Meant to run under TSan and ASan too.
#include <gtest/gtest.h>

#include <vektest/wait.h>

#include <vek/sdk/analytics/helpers/metadata.h>
#include <vek/sdk/analytics/i_plugin.h>
#include <vek/sdk/entry_points.h>
#include <array>
#include <atomic>
#include <thread>

#include "corvane_test_support.h"
#include "device_agent.h"
#include "engine.h"
#include "test_host.h"
#include "vekai_utilities/vekai_utils.h"

namespace {

using namespace std::chrono_literals;
using namespace vek::sdk;
using namespace vek::sdk::analytics;
using vek::vms_server_plugins::analytics::vekai::DeviceAgent;
using VekEngine = vek::vms_server_plugins::analytics::vekai::Engine;

// Counts the packets that reach the host for one camera.
class Handler : public RefCountable<IDeviceAgent::IHandler> {
public:
    void handleMetadata(IMetadataPacket*) override { packets.fetch_add(1); }
    void handleIntegrationDiagnosticEvent(IIntegrationDiagnosticEvent*) override {}
    void pushManifest(const IString*) override {}
    std::atomic<size_t> packets{0};
};

using vektest::waitFor;

constexpr size_t kCameras = 4;
constexpr size_t kReleased = 3;  // the camera whose agent goes away mid-stream

struct Reconfiguration : ::testing::Test {
    testhost::TempDir home{"vek-home"};
    testhost::TempDir data{"vek-data"};
    Ptr<IEngine> engine;
    std::array<Ptr<IDeviceAgent>, kCameras> agents;
    std::array<Ptr<Handler>, kCameras> handlers;
    std::shared_ptr<ModelDetails_t> model;

    void SetUp() override {
        auto plugin = Ptr<IIntegration>(createVekPlugin()).queryInterface<IPlugin>();
        const Ptr<testhost::UtilityProvider> provider(
            new testhost::UtilityProvider(home.path.string(), data.path.string()));
        plugin->setUtilityProvider(provider.get());
        engine = Ptr<IEngine>(plugin->obtainEngine().value);
        ASSERT_TRUE(engine);
        const auto root = data.path / "vek_corvane";
        corvanetest::installReferenceRuntime(root, VEK_REFERENCE_RUNTIME);
        // Every result is late enough to be in flight when its agent goes, and says it was seen.
        model = corvanetest::scriptedModel(
            root, "detector",
            R"({"delay_ms":20,"outputs":[{"name":"bboxes-format:xyxysc;0:person","type":1,"shape":[1,1,6],)"
            R"("values":[16,16,48,48,0.9,0]},{"name":"scores-0:seen","type":1,"shape":[1],"values":[1]}]})");
        corvanetest::giveImageInput(*model, 64, 64);
        model->outputs = {{"bboxes-format:xyxysc;0:person", 24, TensorElementType(1), {1, 1, 6}},
                          {"scores-0:seen", 4, TensorElementType(1), {1}}};
        model->boxesOutputName = model->outputs[0].name;
        model->boxesClassNames = {"person"};

        auto settings = std::make_shared<DeviceAgentSettings_t>();
        settings->active = true;
        auto stage = corvanetest::stageFor(model);
        stage.activeClasses = {{"person", true}};
        settings->stages = {stage};
        vekEngine().getRegistrationManager().setState(RegistrationManager::kConnected);
        for (size_t i = 0; i < kCameras; ++i) {
            const Ptr<testhost::DeviceInfo> info(
                new testhost::DeviceInfo("0123abcd456789ef0a1b2c3d4e5f000" + std::to_string(i + 1), "Cam"));
            agents[i] = Ptr<IDeviceAgent>(engine->obtainDeviceAgent(info.get()).value);
            ASSERT_TRUE(agents[i]);
            handlers[i] = Ptr<Handler>(new Handler());
            agents[i]->setHandler(handlers[i].get());
            static_cast<DeviceAgent*>(agents[i].get())->setSettings(settings);
        }
    }

    VekEngine& vekEngine() { return *static_cast<VekEngine*>(engine.get()); }

    // Models are replaced as a whole: a new change stamp makes the engine restart its runtime.
    void configure(int64_t stamp) {
        auto changed = std::make_shared<ModelDetails_t>(*model);
        changed->lastModified = stamp;
        vekEngine().getCorvane().processParameters({{changed->id, changed}});
    }
};

TEST_F(Reconfiguration, FourCamerasKeepStreamingWhileModelsChangeAndAnAgentLeaves) {
    configure(1);
    ASSERT_TRUE(vekEngine().getCorvane().hasInferenceEngine());

    std::atomic<bool> streaming{true};
    std::atomic<size_t> afterRelease{0};
    std::atomic<bool> released{false};
    std::vector<std::thread> cameras;
    for (size_t i = 0; i < kCameras; ++i) {
        cameras.emplace_back([&, i] {
            auto consuming = agents[i].queryInterface<IConsumingDeviceAgent>();
            for (int pushedFrames = 0; streaming.load(); ++pushedFrames) {
                const auto frame = corvanetest::colourFrame(vekai_current_timestamp_us());
                EXPECT_TRUE(consuming->pushDataPacket(frame.get()).isOk());
                if (i == kReleased && pushedFrames == 40) {
                    // Results of the last frames are still in the runtime when the agent goes.
                    consuming.reset();
                    agents[i].reset();
                    afterRelease.store(handlers[i]->packets.load());
                    released.store(true);
                    return;
                }
                std::this_thread::sleep_for(3ms);
            }
        });
    }

    for (int64_t round = 2; round <= 9; ++round) {
        std::this_thread::sleep_for(150ms);
        if (round % 3 == 0)
            vekEngine().getCorvane().stopInferenceEngine();
        configure(round);
    }
    ASSERT_TRUE(waitFor(30s, [&] { return released.load(); }));

    // Every remaining camera still gets results once the changes are over.
    std::array<size_t, kCameras> settled{};
    for (size_t i = 0; i < kCameras; ++i)
        settled[i] = handlers[i]->packets.load();
    for (size_t i = 0; i < kCameras; ++i) {
        if (i != kReleased) {
            EXPECT_TRUE(waitFor(30s, [&] { return handlers[i]->packets.load() > settled[i] + 2; })) << i;
        }
    }
    streaming.store(false);
    for (auto& camera : cameras)
        camera.join();
    vekEngine().getCorvane().waitForInFlightInferences();

    EXPECT_GT(afterRelease.load(), 0u) << "the released camera had results before it went";
    EXPECT_EQ(handlers[kReleased]->packets.load(), afterRelease.load())
        << "nothing reaches a released agent's handler";
    for (auto& agent : agents)
        agent.reset();
    engine.reset();
}

}  // namespace
