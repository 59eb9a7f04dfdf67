#include <gtest/gtest.h>

#include <vek/sdk/analytics/i_plugin.h>
#include <vek/sdk/entry_points.h>
#include <cstdlib>
#include <fstream>

#include "test_host.h"

using namespace vek::sdk;
using namespace vek::sdk::analytics;

namespace {

// The configuration is read once per process, so this executable holds this one test.
TEST(WorkingDirectory, ConfiguredDirectoryIsUsedAndTheDataDirectoryIsUntouched) {
    testhost::TempDir config{"vek-config"};
    testhost::TempDir home{"vek-home"};
    testhost::TempDir data{"vek-data"};
    testhost::TempDir custom{"vek-work"};
    const auto workDir = custom.path / "nested" / "work";
    std::ofstream(config.path / "vek_corvane_plugin.ini")
        << "[general]\nWorkingDirectory=" << workDir.string() << "\n";
    ASSERT_EQ(setenv("VEK_CONFIG_DIR", config.path.c_str(), 1), 0);

    const auto plugin = Ptr<IIntegration>(createVekPlugin()).queryInterface<IPlugin>();
    const Ptr<testhost::UtilityProvider> provider(
        new testhost::UtilityProvider(home.path.string(), data.path.string()));
    plugin->setUtilityProvider(provider.get());
    auto result = plugin->obtainEngine();
    ASSERT_TRUE(result.isOk());
    Ptr<IEngine> engine(result.value);
    {
        const Ptr<testhost::DeviceInfo> info(
            new testhost::DeviceInfo("0123abcd456789ef0a1b2c3d4e5f0001", "Cam"));
        Ptr<IDeviceAgent> agent(engine->obtainDeviceAgent(info.get()).value);
        ASSERT_TRUE(agent);
    }
    engine.reset();

    EXPECT_TRUE(std::filesystem::exists(workDir / "vekai_plugin_start.log"));
    EXPECT_TRUE(std::filesystem::exists(workDir / "vekai_plugin.log"));
    EXPECT_TRUE(std::filesystem::is_empty(data.path));
}

}  // namespace
