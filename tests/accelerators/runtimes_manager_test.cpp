#include <gtest/gtest.h>

#include <functional>
#include <set>

#include "accl_manager/runtimes_manager.h"
#include "download_manager_utils.h"
#include "fake_machine.h"
#include "loopback_server.h"
#include "messaging_manager.h"
#include "tar_builder.h"

namespace {

namespace fs = std::filesystem;
using acceltest::ConfigOverride;
using acceltest::FakeMachine;
using acceltest::LogCapture;
using acceltest::LoopbackServer;
using acceltest::ScratchDir;
using acceltest::ServedFile;
using acceltest::TarBuilder;

constexpr const char* kCpuPath = "/store/CPU/x86_64/Ubuntu/library.tar.gz";
constexpr const char* kHailoPath = "/store/HAILO/x86_64/Ubuntu/library-4.20.0.tar.gz";
constexpr const char* kNvidiaPath = "/store/NVIDIA_ORT/x86_64/Ubuntu/library-cuda_12.tar.gz";

std::string md5Of(const std::string& data) {
    ScratchDir dir;
    acceltest::writeText(dir.path / "data", data);
    return Utils::computeFileMD5((dir.path / "data").string()).value_or("");
}

// A runtime package as the packaging produces it: the library at the top, its helpers below, a link.
std::string runtimePackage(const std::string& library = "runtime library") {
    ScratchDir dir;
    const auto staging = dir.path / "staging";
    acceltest::writeText(staging / "libRuntimeLibrary.so", library);
    acceltest::writeText(staging / "lib" / "libonnxruntime.so.1.17.0", "onnx runtime");
    fs::create_symlink("libonnxruntime.so.1.17.0", staging / "lib" / "libonnxruntime.so.1");
    const auto archive = dir.path / "library.tar.gz";
    const auto [status, output] = Utils::runShellCommand("tar -czf " + Utils::shellQuote(archive.string()) +
                                                         " -C " + Utils::shellQuote(staging.string()) + " .");
    EXPECT_EQ(status, 0) << output;
    return acceltest::readText(archive);
}

std::string gzipped(const TarBuilder& builder) {
    ScratchDir dir;
    builder.writeGzip(dir.path / "package.tar.gz");
    return acceltest::readText(dir.path / "package.tar.gz");
}

struct InstallFixture : ::testing::Test {
    LogCapture log;
    ConfigOverride config;
    FakeMachine machine;
    LoopbackServer store;
    ScratchDir work{"vek-work"};
    MessagingManager messages;
    std::vector<std::pair<std::string, std::string>> reports;
    int stops = 0;
    int refreshes = 0;
    RuntimeStepContext context{messages, [this] { ++stops; },
                               [this](const std::string& name, const std::string& mimeType) {
                                   reports.emplace_back(name, mimeType);
                               },
                               [this] { ++refreshes; }};

    void SetUp() override {
        machine.baseMachine();
        config.setStorage(store.url("/store"));
        ini().cacheRuntimeArchives = false;
        ini().enableNvidiaTRTIntegration = false;
    }

    std::unique_ptr<RuntimesManager> start() {
        auto manager = std::make_unique<RuntimesManager>(work.path.string());
        manager->initialize(messages);
        return manager;
    }
    fs::path bin() const { return work.path / "inference_engine"; }
    fs::path cachedPackage(const std::string& name) const {
        return work.path / "runtime_cache" / (name + ".tar.gz");
    }
    void publish(const std::string& path, const std::string& body) {
        store.put(path, ServedFile(body, md5Of(body)));
    }
    bool hasNotice(const std::string& key) const { return messages.getMessages().count(key) > 0; }
};

TEST_F(InstallFixture, TheOnlyCandidateIsInstalledAndKeptAcrossARestart) {
    const std::string package = runtimePackage();
    std::string upperCaseMd5 = md5Of(package);
    std::transform(upperCaseMd5.begin(), upperCaseMd5.end(), upperCaseMd5.begin(), ::toupper);
    store.put(kCpuPath, ServedFile(package, upperCaseMd5));

    auto manager = start();
    EXPECT_EQ(manager->getState(), RuntimeState::NONE);
    EXPECT_TRUE(hasNotice("MISSING_OPENCL_ERROR"));

    EXPECT_TRUE(manager->runtimeStep(context));
    EXPECT_EQ(manager->getState(), RuntimeState::INSTALLED);
    EXPECT_EQ(store.requestsFor(kCpuPath), 1);
    EXPECT_EQ(acceltest::readText(bin() / "installed_runtime.txt"), "Generic CPU");
    EXPECT_EQ(acceltest::readText(bin() / "libRuntimeLibrary.so"), "runtime library");
    EXPECT_EQ(acceltest::readText(bin() / "lib" / "libonnxruntime.so.1"), "onnx runtime");
    EXPECT_TRUE(fs::is_symlink(bin() / "lib" / "libonnxruntime.so.1"));
    EXPECT_FALSE(fs::exists(cachedPackage("Generic CPU")));
    EXPECT_EQ(reports,
              (std::vector<std::pair<std::string, std::string>>{{"Generic CPU", "application/x-onnx"}}));
    EXPECT_EQ(refreshes, 1);
    EXPECT_TRUE(messages.getMessages().empty());
    EXPECT_TRUE(log.contains("Info: Runtime Generic CPU downloaded successfully.\n"));
    EXPECT_TRUE(log.contains("Info: Deleted the tar file successfully.\n"));
    EXPECT_EQ(manager->getInstalledRuntime(), "Generic CPU");

    EXPECT_TRUE(manager->runtimeStep(context));
    EXPECT_EQ(store.requestsFor(kCpuPath), 1);

    // A new engine finds the installed runtime: this pass settles it, the next one goes on.
    manager = start();
    EXPECT_EQ(manager->getState(), RuntimeState::NONE);
    EXPECT_FALSE(manager->runtimeStep(context));
    EXPECT_EQ(manager->getState(), RuntimeState::INSTALLED);
    EXPECT_EQ(manager->getInstalledRuntime(), "Generic CPU");
    EXPECT_EQ(manager->getSupportedMIMEType(manager->getInstalledRuntime()), "application/x-onnx");
    EXPECT_TRUE(manager->runtimeStep(context));
    EXPECT_EQ(store.requestsFor(kCpuPath), 1);
    EXPECT_EQ(reports.size(), 1u);
}

TEST_F(InstallFixture, SeveralCandidatesWaitForTheUsersChoice) {
    machine.hailo(1, "4.20.0", "HAILO8");
    publish(kCpuPath, runtimePackage());
    publish(kHailoPath, runtimePackage("hailo library"));
    auto manager = start();

    EXPECT_FALSE(manager->runtimeStep(context));
    EXPECT_EQ(manager->getState(), RuntimeState::AWAITING_SELECTION);
    EXPECT_EQ(manager->candidateRuntimes, (std::vector<std::string>{"Generic CPU", "Hailo"}));
    EXPECT_FALSE(manager->runtimeStep(context));
    EXPECT_EQ(store.requestsFor(kCpuPath) + store.requestsFor(kHailoPath), 0);
    EXPECT_FALSE(hasNotice("NVIDIA_RESTART_REQUIRED"));

    manager->userSelectedRuntime = "Hailo";
    manager->setState(RuntimeState::SELECTED);
    EXPECT_TRUE(manager->runtimeStep(context));
    EXPECT_EQ(manager->getState(), RuntimeState::INSTALLED);
    EXPECT_EQ(store.requestsFor(kHailoPath), 1);
    EXPECT_EQ(store.requestsFor(kCpuPath), 0);
    EXPECT_EQ(acceltest::readText(bin() / "libRuntimeLibrary.so"), "hailo library");
    EXPECT_EQ(reports, (std::vector<std::pair<std::string, std::string>>{{"Hailo", "application/x-hailo8"}}));
}

TEST_F(InstallFixture, AChoiceOutsideTheCandidatesIsRefusedBeforeAnyPathIsBuilt) {
    machine.hailo(1, "4.20.0", "HAILO8");
    auto manager = start();
    EXPECT_FALSE(manager->runtimeStep(context));
    ini().cacheRuntimeArchives = true;
    acceltest::writeText(work.path / "elsewhere.tar.gz",
                         gzipped(TarBuilder().file("libRuntimeLibrary.so", "x")));
    manager->userSelectedRuntime = "../elsewhere";
    manager->setState(RuntimeState::SELECTED);
    EXPECT_TRUE(manager->runtimeStep(context));
    EXPECT_EQ(manager->getState(), RuntimeState::FAILED);
    EXPECT_FALSE(fs::exists(bin() / "libRuntimeLibrary.so"));
    EXPECT_TRUE(log.contains("ERROR: couldn't find a download link for the desired runtime."));
}

struct FailureCase {
    const char* name;
    std::function<ServedFile()> serve;  // what the store answers for the package
    std::string notice;                 // empty: none
    std::string logLine;
};

void PrintTo(const FailureCase& c, std::ostream* out) {
    *out << c.name;
}

const FailureCase kFailures[] = {
    {"checksum mismatch", [] { return ServedFile(runtimePackage(), "0123456789abcdef0123456789abcdef"); },
     "RUNTIME_DOWNLOAD_CORRUPTED",
     "ERROR: Runtime package checksum mismatch for Generic CPU. Expected MD5: "
     "0123456789abcdef0123456789abcdef, got: "},
    {"body cut short",
     [] {
         ServedFile file(runtimePackage());
         file.truncated = true;
         return file;
     },
     "", "ERROR: Failed to download the runtime package.\n"},
    {"no package in the store",
     [] {
         ServedFile file("gone");
         file.status = 404;
         return file;
     },
     "", "Error! Could not request file data! Status code: 404\n"},
    {"not a package",
     [] {
         const std::string garbage(5000, 'g');
         return ServedFile(garbage, md5Of(garbage));
     },
     "RUNTIME_EXTRACTION_FAILED", "ERROR: Refusing to extract the runtime package "},
    {"package escaping the folder",
     [] {
         const std::string body =
             gzipped(TarBuilder().file("libRuntimeLibrary.so", "library").file("../escaped.txt", "outside"));
         return ServedFile(body, md5Of(body));
     },
     "RUNTIME_EXTRACTION_FAILED", "would be written outside the install folder"},
    {"package linking out of the folder",
     [] {
         const std::string body =
             gzipped(TarBuilder().symlink("lib", "..").file("libRuntimeLibrary.so", "library"));
         return ServedFile(body, md5Of(body));
     },
     "RUNTIME_EXTRACTION_FAILED", "points outside the install folder"},
    {"package without the library",
     [] {
         const std::string body = gzipped(TarBuilder().file("README", "nothing to load"));
         return ServedFile(body, md5Of(body));
     },
     "RUNTIME_EXTRACTION_FAILED", "ERROR: The runtime package holds no libRuntimeLibrary.so.\n"},
};

class InstallFailure : public InstallFixture, public ::testing::WithParamInterface<FailureCase> {};

TEST_P(InstallFailure, EndsInFailedWithoutRetrying) {
    const auto& c = GetParam();
    store.put(kCpuPath, c.serve());
    auto manager = start();

    EXPECT_TRUE(manager->runtimeStep(context));
    EXPECT_EQ(manager->getState(), RuntimeState::FAILED);
    EXPECT_FALSE(manager->downloadCancelled.load());
    EXPECT_FALSE(fs::exists(bin() / "installed_runtime.txt"));
    EXPECT_FALSE(fs::exists(bin() / "libRuntimeLibrary.so"));
    EXPECT_FALSE(fs::exists(work.path / "escaped.txt"));
    EXPECT_FALSE(fs::exists(cachedPackage("Generic CPU")));
    EXPECT_TRUE(reports.empty());
    EXPECT_EQ(refreshes, 0);
    EXPECT_TRUE(log.contains(c.logLine)) << log.text();
    const auto notices = messages.getMessages();
    EXPECT_EQ(notices.count("RUNTIME_PACKAGE") + notices.count("RUNTIME_EXTRACTION"), 0u);
    if (c.notice.empty()) {
        EXPECT_EQ(notices.count("RUNTIME_DOWNLOAD_CORRUPTED") + notices.count("RUNTIME_EXTRACTION_FAILED"),
                  0u);
    } else {
        ASSERT_EQ(notices.count(c.notice), 1u);
        EXPECT_EQ(notices.at(c.notice).type, MESSAGE_TYPE::WARNING);
    }

    // A single candidate that failed stays failed: the pass goes on without asking the store again.
    EXPECT_TRUE(manager->runtimeStep(context));
    EXPECT_EQ(manager->getState(), RuntimeState::FAILED);
    EXPECT_LE(store.requestsFor(kCpuPath), 1);
}

INSTANTIATE_TEST_SUITE_P(Packages, InstallFailure, ::testing::ValuesIn(kFailures),
                         [](const ::testing::TestParamInfo<FailureCase>& info) {
                             std::string name = info.param.name;
                             for (char& ch : name) {
                                 if (!std::isalnum(static_cast<unsigned char>(ch)))
                                     ch = '_';
                             }
                             return name;
                         });

TEST_F(InstallFixture, NoticeTextsOfFailedInstallations) {
    store.put(kCpuPath, ServedFile(runtimePackage(), "ffffffffffffffffffffffffffffffff"));
    auto manager = start();
    manager->runtimeStep(context);
    EXPECT_EQ(messages.getMessages().at("RUNTIME_DOWNLOAD_CORRUPTED").text,
              "The downloaded runtime package appears to be corrupted (checksum mismatch). Please check your "
              "Internet connection and try again.");

    // A new attempt clears the earlier warning before it starts.
    const std::string garbage = "not a package";
    store.put(kCpuPath, ServedFile(garbage, md5Of(garbage)));
    manager->setState(RuntimeState::NONE);
    manager->runtimeStep(context);
    const auto notices = messages.getMessages();
    EXPECT_EQ(notices.count("RUNTIME_DOWNLOAD_CORRUPTED"), 0u);
    EXPECT_EQ(
        notices.at("RUNTIME_EXTRACTION_FAILED").text,
        "Failed to extract the runtime package. Please ensure you have a stable Internet connection and "
        "enough free space on your disk.");
}

TEST_F(InstallFixture, AStoreWithoutChecksumsIsTrusted) {
    store.put(kCpuPath, ServedFile(runtimePackage()));
    auto manager = start();
    EXPECT_TRUE(manager->runtimeStep(context));
    EXPECT_EQ(manager->getState(), RuntimeState::INSTALLED);
}

TEST_F(InstallFixture, TarFailingWithTheLibraryOnDiskCountsAsInstalled) {
    publish(kCpuPath, runtimePackage());
    machine.script("tar", "touch \"$4/libRuntimeLibrary.so\"; echo 'tar: Cannot utime'; exit 2");
    auto manager = start();
    EXPECT_TRUE(manager->runtimeStep(context));
    EXPECT_EQ(manager->getState(), RuntimeState::INSTALLED);
    EXPECT_TRUE(
        log.contains("Warning: tar exited with status 512 while extracting the runtime package, but the "
                     "runtime library was found on disk. Treating the extraction as successful. Output: "
                     "tar: Cannot utime\n"));
}

TEST_F(InstallFixture, TarFailingWithoutTheLibraryFails) {
    publish(kCpuPath, runtimePackage());
    machine.script("tar", "echo 'tar: No space left on device'; exit 2");
    auto manager = start();
    EXPECT_TRUE(manager->runtimeStep(context));
    EXPECT_EQ(manager->getState(), RuntimeState::FAILED);
    EXPECT_TRUE(hasNotice("RUNTIME_EXTRACTION_FAILED"));
    EXPECT_TRUE(
        log.contains("ERROR: Failed to extract the runtime package. Tar exit status: 512. Output: tar: No "
                     "space left on device\n"));
    // The package itself was sound: it stays for the next attempt.
    EXPECT_TRUE(fs::exists(cachedPackage("Generic CPU")));
}

TEST_F(InstallFixture, CancellingTheDownloadRemovesThePartialPackage) {
    auto manager = start();
    ServedFile slow(runtimePackage() + std::string(300000, 'p'));
    slow.afterFirstHalf = [&manager] { manager->cancelDownloadRequested.store(true); };
    store.put(kCpuPath, slow);
    EXPECT_TRUE(manager->runtimeStep(context));
    store.release();
    EXPECT_EQ(manager->getState(), RuntimeState::FAILED);
    EXPECT_TRUE(manager->downloadCancelled.load());
    EXPECT_FALSE(fs::exists(cachedPackage("Generic CPU")));
    EXPECT_TRUE(log.contains("Info: Runtime download for Generic CPU was cancelled by the user.\n"));
    EXPECT_FALSE(hasNotice("RUNTIME_PACKAGE"));

    // The next attempt starts with the request cleared.
    publish(kCpuPath, runtimePackage());
    manager->setState(RuntimeState::NONE);
    EXPECT_TRUE(manager->runtimeStep(context));
    EXPECT_EQ(manager->getState(), RuntimeState::INSTALLED);
    EXPECT_FALSE(manager->downloadCancelled.load());
}

TEST_F(InstallFixture, CachedPackagesAreKeptAndReused) {
    ini().cacheRuntimeArchives = true;
    publish(kCpuPath, runtimePackage());
    auto manager = start();
    EXPECT_TRUE(manager->runtimeStep(context));
    EXPECT_EQ(manager->getState(), RuntimeState::INSTALLED);
    EXPECT_TRUE(fs::exists(cachedPackage("Generic CPU")));
    EXPECT_TRUE(log.contains("Info: Caching the runtime package file as per configuration.\n"));

    manager->setState(RuntimeState::RESELECT_REQUESTED);
    EXPECT_FALSE(manager->runtimeStep(context));
    EXPECT_EQ(stops, 1);
    EXPECT_EQ(manager->getState(), RuntimeState::NONE);
    EXPECT_FALSE(fs::exists(bin()));
    EXPECT_EQ(reports.back(), (std::pair<std::string, std::string>{"", ""}));

    EXPECT_TRUE(manager->runtimeStep(context));
    EXPECT_EQ(manager->getState(), RuntimeState::INSTALLED);
    EXPECT_EQ(store.requestsFor(kCpuPath), 1);
    EXPECT_TRUE(log.contains("Info: Runtime package file already exists. Skipping download step.\n"));
    EXPECT_TRUE(fs::exists(bin() / "libRuntimeLibrary.so"));
}

TEST_F(InstallFixture, ARecordWithoutItsLibraryIsInstalledAgain) {
    publish(kCpuPath, runtimePackage());
    acceltest::writeText(bin() / "installed_runtime.txt", "Generic CPU");
    auto manager = start();
    EXPECT_FALSE(manager->isRuntimeInstalled());
    EXPECT_TRUE(manager->runtimeStep(context));
    EXPECT_EQ(manager->getState(), RuntimeState::INSTALLED);
    EXPECT_EQ(store.requestsFor(kCpuPath), 1);

    // The older layout with the library in a "Generic CPU" folder also counts as installed.
    fs::remove(bin() / "libRuntimeLibrary.so");
    EXPECT_FALSE(manager->isRuntimeInstalled());
    acceltest::writeText(bin() / "Generic CPU" / "libRuntimeLibrary.so", "library");
    EXPECT_TRUE(manager->isRuntimeInstalled());
}

TEST_F(InstallFixture, AfterNvidiaWasInUseReselectionOffersTheRestAndAsksForARestart) {
    ini().enableNvidiaTRTIntegration = false;
    machine.nvidiaGpu();
    machine.nvidiaSmi("12.6", "8.6");
    machine.cudaToolkit("12.4.1");
    publish(kCpuPath, runtimePackage());
    publish(kNvidiaPath, runtimePackage("nvidia library"));
    auto manager = start();

    EXPECT_FALSE(manager->runtimeStep(context));
    EXPECT_EQ(manager->candidateRuntimes, (std::vector<std::string>{"Generic CPU", "NVIDIA"}));
    manager->userSelectedRuntime = "NVIDIA";
    manager->setState(RuntimeState::SELECTED);
    EXPECT_TRUE(manager->runtimeStep(context));
    EXPECT_EQ(manager->getState(), RuntimeState::INSTALLED);
    EXPECT_EQ(reports.back(), (std::pair<std::string, std::string>{"NVIDIA", "application/x-onnx"}));
    EXPECT_TRUE(manager->hidesNvidiaRuntime());

    manager->setState(RuntimeState::RESELECT_REQUESTED);
    EXPECT_FALSE(manager->runtimeStep(context));
    EXPECT_EQ(manager->getState(), RuntimeState::NONE);

    EXPECT_FALSE(manager->runtimeStep(context));
    EXPECT_EQ(manager->getState(), RuntimeState::AWAITING_SELECTION);
    EXPECT_EQ(manager->candidateRuntimes, std::vector<std::string>{"Generic CPU"});
    ASSERT_TRUE(hasNotice("NVIDIA_RESTART_REQUIRED"));
    EXPECT_EQ(messages.getMessages().at("NVIDIA_RESTART_REQUIRED").text,
              "The NVIDIA runtime can't be selected again until the mediaserver is restarted. Restart the "
              "mediaserver to make it available.");
    EXPECT_EQ(store.requestsFor(kCpuPath), 0);

    manager->userSelectedRuntime = "Generic CPU";
    manager->setState(RuntimeState::SELECTED);
    EXPECT_TRUE(manager->runtimeStep(context));
    EXPECT_EQ(manager->getState(), RuntimeState::INSTALLED);
    EXPECT_FALSE(hasNotice("NVIDIA_RESTART_REQUIRED"));
    EXPECT_EQ(acceltest::readText(bin() / "installed_runtime.txt"), "Generic CPU");
}

TEST_F(InstallFixture, RemovalAndLookupsOfTheInstalledRuntime) {
    auto manager = start();
    manager->deleteAllRuntimes();
    EXPECT_EQ(manager->getState(), RuntimeState::NONE);
    EXPECT_TRUE(log.contains("Succesfully removed runtime library.\n"));

    EXPECT_EQ(manager->getInstalledRuntime(), "");
    EXPECT_TRUE(log.contains("Warning: There is no installed runtime on this machine.\n"));
    manager->setInstalledRuntime("Generic CPU");
    EXPECT_TRUE(log.contains("ERROR: Failed to save the installed runtime's name.\n"));
    EXPECT_EQ(manager->getInstalledRuntime(), "Generic CPU");

    EXPECT_EQ(manager->getSupportedMIMEType(""), "");
    EXPECT_EQ(manager->getSupportedMIMEType("Hailo"), "");
    EXPECT_TRUE(log.contains("ERROR: Invalid runtime name.\n"));
    EXPECT_EQ(manager->getSupportedMIMEType("Generic CPU"), "application/x-onnx");

    acceltest::writeText(bin() / "nested" / "deeper" / "file", "x");
    acceltest::writeText(bin() / "installed_runtime.txt", "Generic CPU");
    manager->setState(RuntimeState::RESELECT_REQUESTED);
    manager->deleteAllRuntimes();
    EXPECT_FALSE(fs::exists(bin()));
    EXPECT_EQ(manager->getState(), RuntimeState::NONE);
}

struct MachineCase {
    const char* name;
    std::function<void(FakeMachine&)> setup;
    std::vector<std::pair<std::string, std::string>> runtimes;  // name and primary MIME type, in list order
    std::set<std::string> notices;
};

void PrintTo(const MachineCase& c, std::ostream* out) {
    *out << c.name;
}

void nvidiaX86(FakeMachine& m) {
    m.nvidiaGpu();
    m.nvidiaSmi("12.6", "8.6");
    m.cudaToolkit("12.4.1");
    m.tensorRT("10.3.0.26-1+cuda12.5");
}

const std::pair<std::string, std::string> kCpu{"Generic CPU", "application/x-onnx"};
const std::pair<std::string, std::string> kNvidia{"NVIDIA", "application/x-onnx"};

const MachineCase kMachines[] = {
    {"x86_64 CPU only", [](FakeMachine&) {}, {kCpu}, {"MISSING_OPENCL_ERROR"}},
    {"Intel GPU",
     [](FakeMachine& m) {
         m.libraries({"libgomp.so.1", "libOpenCL.so.1"});
     },
     {kCpu, {"Intel", "application/zip; device=intel; precision=fp32"}},
     {}},
    {"NVIDIA on x86_64",
     nvidiaX86,
     {kCpu, kNvidia, {"NVIDIA TensorRT", "application/x-tensorrt; arch=x86_64; sm=86; trt=10"}},
     {"MISSING_OPENCL_ERROR"}},
    {"NVIDIA with a driver too old",
     [](FakeMachine& m) {
         nvidiaX86(m);
         m.cudaToolkit("12.8");
     },
     {kCpu},
     {"MISSING_OPENCL_ERROR", "NVIDIA_GPU_SDK"}},
    {"Jetson",
     [](FakeMachine& m) {
         m.baseMachine("aarch64", "22.04");
         m.jetson();
         m.nvidiaSmi("12.6", "8.7");
         m.cudaToolkit("12.6.68");
         m.tensorRT("10.3.0.30-1+cuda12.5");
     },
     {kCpu, kNvidia, {"NVIDIA TensorRT", "application/x-tensorrt; arch=aarch64-jetson; sm=87; trt=10"}},
     {}},
    {"aarch64 server",
     [](FakeMachine& m) {
         m.baseMachine("aarch64", "24.04");
         m.nvidiaGpu();
         m.nvidiaSmi("13.0", "12.0");
         m.cudaToolkit("13.0.1");
         m.tensorRT("10.13.3.9-1+cuda13.0");
     },
     {kCpu, kNvidia, {"NVIDIA TensorRT", "application/x-tensorrt; arch=aarch64-sbsa; sm=120; trt=10"}},
     {}},
    {"Hailo-8",
     [](FakeMachine& m) { m.hailo(1, "4.20.0", "HAILO8"); },
     {kCpu, {"Hailo", "application/x-hailo8"}},
     {"MISSING_OPENCL_ERROR"}},
    {"Hailo-8L on aarch64",
     [](FakeMachine& m) {
         m.baseMachine("aarch64", "22.04");
         m.cpuFlags(false);
         m.hailo(1, "4.18.0", "HAILO8L");
     },
     {kCpu, {"Hailo", "application/x-hailo8l"}},
     {}},
    {"DEEPX",
     [](FakeMachine& m) { m.deepx(1, "3.3.2"); },
     {{"DEEPX", "application/x-dxnn"}, kCpu},
     {"MISSING_OPENCL_ERROR"}},
    {"every accelerator",
     [](FakeMachine& m) {
         m.libraries({"libgomp.so.1", "libOpenCL.so.1"});
         nvidiaX86(m);
         m.hailo(2, "4.20.0", "HAILO8");
         m.deepx(1, "3.3.2");
     },
     {{"DEEPX", "application/x-dxnn"},
      kCpu,
      {"Hailo", "application/x-hailo8"},
      {"Intel", "application/zip; device=intel; precision=fp32"},
      kNvidia,
      {"NVIDIA TensorRT", "application/x-tensorrt; arch=x86_64; sm=86; trt=10"}},
     {}},
    {"x86_64 without AVX2",
     [](FakeMachine& m) {
         m.cpuFlags(false);
         m.hailo(1, "4.20.0", "HAILO8");
     },
     {},
     {"MISSING_AVX2_ERROR"}},
    {"without libgomp",
     [](FakeMachine& m) { m.libraries({"libOpenCL.so.1"}); },
     {},
     {"MISSING_LIBGOMP_ERROR"}},
    {"old libc", [](FakeMachine& m) { m.libc("2.27"); }, {}, {"MISSING_OPENCL_ERROR"}},
    {"unsupported distribution", [](FakeMachine& m) { m.osRelease("ID=fedora\nVERSION_ID=39\n"); }, {}, {}},
    {"32-bit ARM", [](FakeMachine& m) { m.architecture("armv7l"); }, {}, {}},
    {"Debian 12 with DEEPX",
     [](FakeMachine& m) {
         m.osRelease("ID=debian\nVERSION_ID=\"12\"\n");
         m.deepx(1, "3.3.2");
     },
     {{"DEEPX", "application/x-dxnn"}, kCpu},
     {"MISSING_OPENCL_ERROR"}},
};

class MachineKinds : public InstallFixture, public ::testing::WithParamInterface<MachineCase> {};

TEST_P(MachineKinds, RegisterTheirRuntimesAndNotices) {
    const auto& c = GetParam();
    ini().enableNvidiaTRTIntegration = true;
    c.setup(machine);
    auto manager = start();

    std::vector<std::pair<std::string, std::string>> offered;
    for (const auto& name : manager->getAllPossibleRuntimes(""))
        offered.emplace_back(name, manager->getSupportedMIMEType(name));
    EXPECT_EQ(offered, c.runtimes);
    std::set<std::string> notices;
    for (const auto& [key, message] : messages.getMessages())
        notices.insert(key);
    EXPECT_EQ(notices, c.notices);
    EXPECT_EQ(manager->getState(),
              c.runtimes.empty() ? RuntimeState::NO_COMPATIBLE_RUNTIME : RuntimeState::NONE);
    if (c.runtimes.empty()) {
        EXPECT_FALSE(manager->runtimeStep(context));
        EXPECT_EQ(manager->getState(), RuntimeState::NO_COMPATIBLE_RUNTIME);
    }
}

INSTANTIATE_TEST_SUITE_P(Machines, MachineKinds, ::testing::ValuesIn(kMachines),
                         [](const ::testing::TestParamInfo<MachineCase>& info) {
                             std::string name = info.param.name;
                             for (char& ch : name) {
                                 if (!std::isalnum(static_cast<unsigned char>(ch)))
                                     ch = '_';
                             }
                             return name;
                         });

TEST_F(InstallFixture, ModelFormatsNarrowTheRuntimes) {
    ini().enableNvidiaTRTIntegration = true;
    machine.libraries({"libgomp.so.1", "libOpenCL.so.1"});
    nvidiaX86(machine);
    machine.hailo(1, "4.20.0", "HAILO8");
    auto manager = start();
    EXPECT_EQ(manager->getAllPossibleRuntimes("application/x-onnx"),
              (std::vector<std::string>{"Generic CPU", "NVIDIA"}));
    EXPECT_EQ(manager->getAllPossibleRuntimes("application/x-hailo8"), std::vector<std::string>{"Hailo"});
    EXPECT_EQ(manager->getState(), RuntimeState::NONE);
    EXPECT_TRUE(manager->getAllPossibleRuntimes("application/x-dxnn").empty());
    EXPECT_EQ(manager->getState(), RuntimeState::NO_COMPATIBLE_RUNTIME);
    EXPECT_EQ(manager->getOSVersion(), "22.04");
}

}  // namespace
