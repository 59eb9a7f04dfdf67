#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <ostream>

#include "config_test_support.h"
#include "ini_manager.h"

namespace {

using configtest::ConfigDir;

constexpr const char* kFileName = "vek_corvane_plugin.ini";

struct KeyCase {
    const char* name;
    const char* defaultText;
    const char* description;
};

// Every key in registration order, as support engineers find it documented.
const KeyCase kKeys[] = {
    {"enableOutput", "false", "If enabled, the analytics SDK logging will be logged to console."},
    {"logToConsole", "false",
     "If enabled, the AI Plugin, Corvane and Inference Engine logs will be logged to console."},
    {"logToFile", "true", "If enabled, the AI Plugin and Corvane logs will be logged to files."},
    {"sendFramesOverride", "false",
     "If enabled, the AI Plugin will send frames to the Corvane even when inactive."},
    {"restartCorvaneOnCrash", "true",
     "If enabled, the AI Plugin automatically restart the Corvane if it crashes."},
    {"cacheRuntimeArchives", "false",
     "If enabled, the AI Plugin will cache runtime archives. To force re-download, delete the relevant "
     "runtime archive."},
    {"enableAmbarellaIntegration", "false",
     "If enabled, the AI Plugin will enable Ambarella integration, ie. offloading model inference to the "
     "Ambarella CV75 chip."},
    {"enableNvidiaTRTIntegration", "false",
     "If enabled, the AI Plugin will enable the NVIDIA TensorRT runtime."},
    {"enableProfiling", "false", "If enabled, the AI Plugin log profiling details."},
    {"alwaysShowRecoveryButtons", "false",
     "If enabled, recovery buttons (reselect runtime, clear cache, etc.) are always shown in the device "
     "settings, even when there are no errors to recover from. For debug purposes."},
    {"CloudAPI", "https://api.corvane.cloud", "The URL of the AI cloud API."},
    {"DeviceAdminOverride", "", "The base URL of the device admin. Affects popup browser window."},
    {"RuntimesStorageURL", "", "URL of the storage containing the runtimes."},
    {"CorvaneStorageURL", "",
     "URL of where to download the Corvane. This link should only be to the directory; the filename will be "
     "programatically determined."},
    {"WorkingDirectory", "",
     "Directory the plugin should use as its working directory. This includes logging files, Corvane and "
     "model file downloads."},
    {"logVerbosityLevel", "1", "0: No logging. 1: Basic logging. 2: Verbose logging."},
    {"modelDownloadSeconds", "5",
     "This sets the timeout for the request when downloading a model. Increase this in environments with "
     "slow or unstable networking."},
    {"HTTPRequestTimeout", "3", "This sets the timeout for HTTP requests to the AI cloud API in seconds."},
    {"DeviceParametersRefreshTimeout", "5",
     "This sets the timeout in seconds to wait for the runtime manager loop to process an immediate devices "
     "parameters refresh request."},
    {"SettingsAwaitParametersTimeout", "1",
     "This sets the timeout in seconds for settingsReceived() to wait for a device's initial cloud "
     "parameters to be processed before applying GUI settings on top of them."},
    {"MaxNumberConcurrentInputOutputThreads", "8",
     "This controls how many independent threads will pre/postprocess inferences. On powerful systems higher "
     "values might result in higher throughput, but on low-powered systems this might increase latency. (Max "
     "1024)"},
    {"MaxNumberConcurrentInferences", "8",
     "This controls how many inferences can be queued in the runtime. Higher values might lead to higher "
     "throughput on systems with performance headroom, but might lead to higher latency on lower powered "
     "systems."},
    {"EngineThroughputWindowSize", "100",
     "The number of samples used to calculate the engine throughput rolling average."},
    {"ExternalProcessorReadyCheckMaxRetries", "5",
     "The amount of times the Corvane will try and get a ready signal from the external processor. After "
     "this limit has been reached, the Corvane will assume the process is not running or crashed, and will "
     "skip it."},
};

TEST(IniKeys, RegisteredInOrderWithDefaultsAndDescriptions) {
    ConfigDir dir;
    const Ini config;
    const std::vector<vek::kit::IniConfig::Registration> registered = config.registrations();
    ASSERT_EQ(registered.size(), std::size(kKeys));
    for (size_t i = 0; i < registered.size(); ++i) {
        SCOPED_TRACE(kKeys[i].name);
        EXPECT_EQ(registered[i].name, kKeys[i].name);
        EXPECT_EQ(registered[i].defaultText, kKeys[i].defaultText);
        EXPECT_EQ(registered[i].description, kKeys[i].description);
    }
}

TEST(IniKeys, WithoutAFileEveryMemberHoldsItsDefault) {
    ConfigDir dir;
    const Ini config;
    EXPECT_FALSE(config.enableOutput);
    EXPECT_FALSE(config.logToConsole);
    EXPECT_TRUE(config.logToFile);
    EXPECT_FALSE(config.sendFramesOverride);
    EXPECT_TRUE(config.restartCorvaneOnCrash);
    EXPECT_FALSE(config.cacheRuntimeArchives);
    EXPECT_FALSE(config.enableAmbarellaIntegration);
    EXPECT_FALSE(config.enableNvidiaTRTIntegration);
    EXPECT_FALSE(config.enableProfiling);
    EXPECT_FALSE(config.alwaysShowRecoveryButtons);
    EXPECT_STREQ(config.CloudAPI, "https://api.corvane.cloud");
    EXPECT_STREQ(config.DeviceAdminOverride, "");
    EXPECT_STREQ(config.RuntimesStorageURL, "");
    EXPECT_STREQ(config.CorvaneStorageURL, "");
    EXPECT_STREQ(config.WorkingDirectory, "");
    EXPECT_EQ(config.logVerbosityLevel, 1);
    EXPECT_EQ(config.modelDownloadSeconds, 5);
    EXPECT_EQ(config.HTTPRequestTimeout, 3);
    EXPECT_EQ(config.DeviceParametersRefreshTimeout, 5);
    EXPECT_EQ(config.SettingsAwaitParametersTimeout, 1);
    EXPECT_EQ(config.MaxNumberConcurrentInputOutputThreads, 8);
    EXPECT_EQ(config.concurrentInputOutputThreads(), 8);
    EXPECT_EQ(config.MaxNumberConcurrentInferences, 8);
    EXPECT_EQ(config.EngineThroughputWindowSize, 100);
    EXPECT_EQ(config.ExternalProcessorReadyCheckMaxRetries, 5);
    EXPECT_TRUE(std::filesystem::is_empty(dir.path));
}

TEST(IniKeys, FileValuesReplaceDefaults) {
    ConfigDir dir;
    dir.write(kFileName,
              "logToConsole=true\n"
              "logToFile=false\n"
              "enableProfiling=yes\n"
              "CloudAPI=https://cloud.test\n"
              "WorkingDirectory=/var/lib/vek\n"
              "logVerbosityLevel=3\n"
              "HTTPRequestTimeout=10\n"
              "MaxNumberConcurrentInferences=2\n"
              "EngineThroughputWindowSize=notanumber\n");
    ::testing::internal::CaptureStderr();
    const Ini config;
    const std::string error = ::testing::internal::GetCapturedStderr();

    EXPECT_TRUE(config.logToConsole);
    EXPECT_FALSE(config.logToFile);
    EXPECT_TRUE(config.enableProfiling);
    EXPECT_STREQ(config.CloudAPI, "https://cloud.test");
    EXPECT_STREQ(config.WorkingDirectory, "/var/lib/vek");
    EXPECT_EQ(config.logVerbosityLevel, 3);
    EXPECT_EQ(config.HTTPRequestTimeout, 10);
    EXPECT_EQ(config.MaxNumberConcurrentInferences, 2);
    EXPECT_EQ(config.EngineThroughputWindowSize, 100);
    EXPECT_THAT(error, ::testing::HasSubstr("EngineThroughputWindowSize"));
    EXPECT_FALSE(config.enableOutput);
    EXPECT_EQ(config.modelDownloadSeconds, 5);
}

struct ThreadsCase {
    const char* text;
    int raw;
    int used;
};

std::ostream& operator<<(std::ostream& out, const ThreadsCase& c) {
    return out << '"' << c.text << '"';
}

class IniThreadsTest : public ::testing::TestWithParam<ThreadsCase> {};

TEST_P(IniThreadsTest, WorkerCountIsCappedAt1024) {
    ConfigDir dir;
    dir.write(kFileName, std::string("MaxNumberConcurrentInputOutputThreads=") + GetParam().text + "\n");
    const Ini config;
    EXPECT_EQ(config.MaxNumberConcurrentInputOutputThreads, GetParam().raw);
    EXPECT_EQ(config.concurrentInputOutputThreads(), GetParam().used);
}

INSTANTIATE_TEST_SUITE_P(Values, IniThreadsTest,
                         ::testing::Values(ThreadsCase{"5000", 5000, 1024}, ThreadsCase{"1025", 1025, 1024},
                                           ThreadsCase{"1024", 1024, 1024}, ThreadsCase{"16", 16, 16},
                                           ThreadsCase{"0", 0, 0}, ThreadsCase{"-4", -4, 0}));

TEST(IniSingleton, OneInstanceLoadedOnFirstUse) {
    ConfigDir dir;
    dir.write(kFileName, "logVerbosityLevel=2\n");
    Ini& first = ini();
    EXPECT_EQ(first.logVerbosityLevel, 2);

    dir.write(kFileName, "logVerbosityLevel=0\n");
    EXPECT_EQ(&ini(), &first);
    EXPECT_EQ(ini().logVerbosityLevel, 2);
}

}  // namespace
