// The runtime manager against the local cloud's runtime store, installing the real CPU runtime
// package that the build produces.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <vekcloud/local_cloud.h>

#include <functional>

#include "accl_manager/runtimes_manager.h"
#include "fake_machine.h"
#include "messaging_manager.h"

namespace {

namespace fs = std::filesystem;
using acceltest::ConfigOverride;
using acceltest::FakeMachine;
using acceltest::LogCapture;
using acceltest::ScratchDir;

constexpr const char* kCpuPackage = "CPU/x86_64/Ubuntu/library.tar.gz";

vekcloud::CloudOptions storeOptions() {
    vekcloud::CloudOptions options;
    options.siteDirectory = VEK_SITE_DIR;
    options.runtimesDirectory = VEK_RUNTIME_STORE_DIR;
    return options;
}

struct StoreFixture : ::testing::Test {
    LogCapture log;
    ConfigOverride config;
    FakeMachine machine;
    ScratchDir work{"vek-work"};
    MessagingManager messages;
    vekcloud::LocalCloud cloud{storeOptions()};
    std::vector<std::pair<std::string, std::string>> reports;
    RuntimeStepContext context{messages, [] {},
                               [this](const std::string& name, const std::string& mimeType) {
                                   reports.emplace_back(name, mimeType);
                               },
                               [] {}};

    void SetUp() override {
        std::string error;
        ASSERT_TRUE(cloud.start(error)) << error;
        machine.baseMachine();
        config.setStorage(cloud.runtimeStoreUrl());
        ini().cacheRuntimeArchives = false;
    }

    std::unique_ptr<RuntimesManager> start() {
        auto manager = std::make_unique<RuntimesManager>(work.path.string());
        manager->initialize(messages);
        return manager;
    }
    size_t packageRequests() const {
        const auto requests = cloud.requests();
        return std::count_if(requests.begin(), requests.end(), [](const vekcloud::RecordedRequest& request) {
            return request.path.ends_with(kCpuPackage);
        });
    }
};

TEST_F(StoreFixture, TheCpuRuntimeComesFromTheStoreLoadsAndIsKeptAcrossARestart) {
    auto manager = start();
    EXPECT_TRUE(manager->runtimeStep(context));
    ASSERT_EQ(manager->getState(), RuntimeState::INSTALLED);
    EXPECT_EQ(packageRequests(), 1u);
    EXPECT_EQ(reports,
              (std::vector<std::pair<std::string, std::string>>{{"Generic CPU", "application/x-onnx"}}));

    const auto library = work.path / "inference_engine" / "libRuntimeLibrary.so";
    // Kept mapped after dlclose: ONNX Runtime leaves allocations behind, which the leak checker of
    // sanitized runs can attribute (and is told to accept) only while the library is mapped.
    void* handle = dlopen(library.c_str(), RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE);
    ASSERT_NE(handle, nullptr) << dlerror();
    for (const char* symbol : {"runtime_init", "runtime_load_models", "runtime_enqueue_input",
                               "runtime_retrieve_output", "runtime_cleanup", "runtime_get_error",
                               "runtime_get_version", "runtime_get_name", "runtime_get_info"})
        EXPECT_NE(dlsym(handle, symbol), nullptr) << symbol;
    const auto name = reinterpret_cast<const char* (*)()>(dlsym(handle, "runtime_get_name"));
    ASSERT_NE(name, nullptr);
    EXPECT_STREQ(name(), "Generic CPU");
    dlclose(handle);

    manager = start();
    EXPECT_FALSE(manager->runtimeStep(context));
    EXPECT_EQ(manager->getState(), RuntimeState::INSTALLED);
    EXPECT_TRUE(manager->runtimeStep(context));
    EXPECT_EQ(packageRequests(), 1u);
}

struct StoreFault {
    const char* name;
    std::function<vekcloud::Fault()> fault;
    std::string notice;  // empty: none
};

void PrintTo(const StoreFault& c, std::ostream* out) {
    *out << c.name;
}

const StoreFault kFaults[] = {
    {"wrong checksum",
     [] {
         vekcloud::Fault fault;
         fault.wrongChecksum = true;
         return fault;
     },
     "RUNTIME_DOWNLOAD_CORRUPTED"},
    {"corrupted body",
     [] {
         vekcloud::Fault fault;
         fault.corruptAt = 100000;
         return fault;
     },
     "RUNTIME_DOWNLOAD_CORRUPTED"},
    {"truncated body",
     [] {
         vekcloud::Fault fault;
         fault.truncateAfter = 100000;
         return fault;
     },
     ""},
    {"server error",
     [] {
         vekcloud::Fault fault;
         fault.status = 503;
         return fault;
     },
     ""},
};

class StoreFaults : public StoreFixture, public ::testing::WithParamInterface<StoreFault> {};

TEST_P(StoreFaults, LeaveNothingInstalled) {
    cloud.setFault(std::string(vekcloud::LocalCloud::kRuntimeStorePath), GetParam().fault());
    auto manager = start();
    EXPECT_TRUE(manager->runtimeStep(context));
    EXPECT_EQ(manager->getState(), RuntimeState::FAILED);
    EXPECT_FALSE(fs::exists(work.path / "inference_engine" / "libRuntimeLibrary.so"));
    EXPECT_FALSE(fs::exists(work.path / "runtime_cache" / "Generic CPU.tar.gz"));
    EXPECT_TRUE(reports.empty());
    if (!GetParam().notice.empty()) {
        EXPECT_EQ(messages.getMessages().count(GetParam().notice), 1u);
    }
}

INSTANTIATE_TEST_SUITE_P(Faults, StoreFaults, ::testing::ValuesIn(kFaults),
                         [](const ::testing::TestParamInfo<StoreFault>& info) {
                             std::string name = info.param.name;
                             for (char& ch : name) {
                                 if (!std::isalnum(static_cast<unsigned char>(ch)))
                                     ch = '_';
                             }
                             return name;
                         });

}  // namespace
