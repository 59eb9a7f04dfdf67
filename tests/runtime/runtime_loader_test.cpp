#include <linux/capability.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "corvane/vekai_runtime.h"
#include "runtime_test_support.h"

namespace fs = std::filesystem;
using runtimetest::LogCapture;
using runtimetest::ScratchDir;

namespace {

// Drops, for the calling thread only, the capabilities that let root write into read-only folders.
class WithoutOverrides {
public:
    WithoutOverrides() {
        header.version = _LINUX_CAPABILITY_VERSION_3;
        syscall(SYS_capget, &header, saved);
        __user_cap_data_struct reduced[2] = {saved[0], saved[1]};
        reduced[0].effective &= ~((1u << CAP_DAC_OVERRIDE) | (1u << CAP_FOWNER));
        syscall(SYS_capset, &header, reduced);
    }
    ~WithoutOverrides() { syscall(SYS_capset, &header, saved); }

private:
    __user_cap_header_struct header{};
    __user_cap_data_struct saved[2]{};
};

std::string installed(const ScratchDir& dir, const char* library) {
    runtimetest::installRuntime(dir.path, library);
    return (dir.path / "inference_engine" / "libRuntimeLibrary.so").string();
}

uint64_t counterOf(const std::string& loadPath) {
    // libRuntimeLibrary.<counter>.so
    const std::string name = fs::path(loadPath).stem().string();
    return std::stoull(name.substr(name.rfind('.') + 1));
}

TEST(VekaiRuntime, ConsecutiveLoadsUseConsecutiveCopiesThatDisappearWithTheirRuntime) {
    LogCapture log;
    ScratchDir dir;
    const std::string library = installed(dir, VEK_REFERENCE_RUNTIME);
    std::string firstPath;
    std::string secondPath;
    {
        VekaiRuntime first(library);
        VekaiRuntime second(library);
        ASSERT_TRUE(first.isLoaded());
        ASSERT_TRUE(second.isLoaded());
        firstPath = first.getLoadPath();
        secondPath = second.getLoadPath();
        EXPECT_EQ(fs::path(firstPath).parent_path(), fs::path(library).parent_path());
        EXPECT_EQ(counterOf(secondPath), counterOf(firstPath) + 1);
        EXPECT_TRUE(fs::exists(firstPath));
        EXPECT_TRUE(fs::exists(secondPath));
        EXPECT_STREQ(first.getName(), "Reference");
        EXPECT_STREQ(first.getVersion(), "1.0.0");
        EXPECT_NE(first.getInfo(), nullptr);
    }
    EXPECT_FALSE(fs::exists(firstPath));
    EXPECT_FALSE(fs::exists(secondPath));
    EXPECT_TRUE(fs::exists(library));
    EXPECT_EQ(log.count("Releasing runtime library.\n"), 2u);
}

// A runtime created while an earlier one is still loaded must not share the earlier one's state.
TEST(VekaiRuntime, EachLoadStartsFromFreshLibraryState) {
    ScratchDir dir;
    const std::string library = installed(dir, VEK_REFERENCE_RUNTIME);
    VekaiRuntime first(library);
    ASSERT_EQ(first.init(Config{}), 0);
    ASSERT_EQ(first.loadModels(0, nullptr), 0);
    VekaiRuntime second(library);
    EXPECT_NE(second.loadModels(0, nullptr), 0) << "the second instance sees the first one's initialisation";
    EXPECT_STREQ(second.getError(), "runtime is not initialised");
    EXPECT_EQ(first.cleanup(), 0);
}

TEST(VekaiRuntime, MissingErrorFunctionReportsNotInitializedForEveryError) {
    ScratchDir dir;
    VekaiRuntime runtime(installed(dir, VEK_PARTIAL_RUNTIME));
    EXPECT_FALSE(runtime.isLoaded());
    EXPECT_EQ(runtime.init(Config{}), 9);
    EXPECT_STREQ(runtime.getError(), "Runtime not initialized.");
    EXPECT_EQ(runtime.loadModels(0, nullptr), 9);
    EXPECT_STREQ(runtime.getError(), "Runtime not initialized.");
    EXPECT_STREQ(runtime.getName(), "Partial");
}

TEST(VekaiRuntime, MissingLibraryFailsEveryOperationWithoutCallingAnything) {
    LogCapture log;
    ScratchDir dir;
    const std::string library = (dir.path / "inference_engine" / "libRuntimeLibrary.so").string();
    VekaiRuntime runtime(library);
    EXPECT_FALSE(runtime.isLoaded());
    EXPECT_TRUE(log.contains("Error! Failed to load runtime library "));
    int model = 0;
    Tensors* output = nullptr;
    EXPECT_EQ(runtime.init(Config{}), VekaiRuntime::kNotLoaded);
    EXPECT_EQ(runtime.loadModels(0, nullptr), VekaiRuntime::kNotLoaded);
    EXPECT_EQ(runtime.enqueueInput(0, nullptr), VekaiRuntime::kNotLoaded);
    EXPECT_EQ(runtime.retrieveOutput(&model, &output, 0), VekaiRuntime::kNotLoaded);
    EXPECT_EQ(runtime.cleanup(), VekaiRuntime::kNotLoaded);
    EXPECT_STREQ(runtime.getError(), "Runtime not initialized.");
    EXPECT_EQ(runtime.getVersion(), nullptr);
    EXPECT_EQ(runtime.getName(), nullptr);
    EXPECT_EQ(runtime.getInfo(), nullptr);
    EXPECT_EQ(output, nullptr);
}

TEST(VekaiRuntime, ReadOnlyLibraryFolderLoadsTheLibraryInPlace) {
    LogCapture log;
    ScratchDir dir;
    const std::string library = installed(dir, VEK_REFERENCE_RUNTIME);
    const fs::path folder = fs::path(library).parent_path();
    fs::permissions(folder, fs::perms::owner_read | fs::perms::owner_exec);
    {
        WithoutOverrides readOnly;
        VekaiRuntime runtime(library);
        EXPECT_TRUE(runtime.isLoaded());
        EXPECT_TRUE(runtime.getLoadPath().empty());
        EXPECT_TRUE(log.contains("Loading runtime directly from " + library + " instead.\n"));
    }
    fs::permissions(folder, fs::perms::owner_all);
    EXPECT_EQ(std::distance(fs::directory_iterator(folder), fs::directory_iterator()), 1);
}

TEST(VekaiRuntime, UncreatableFolderLoadsTheLibraryPathDirectly) {
    LogCapture log;
    ScratchDir dir;
    runtimetest::writeText(dir.path / "blocker", "not a folder");
    const std::string library = (dir.path / "blocker" / "libRuntimeLibrary.so").string();
    VekaiRuntime runtime(library);
    EXPECT_FALSE(runtime.isLoaded());
    EXPECT_TRUE(log.contains("Warning! Failed to create runtime load directory "));
    EXPECT_TRUE(log.contains("Error! Failed to load runtime library " + library + ": "));
}

}  // namespace
