#include <gtest/gtest.h>

#include <functional>

#include "accl_manager/chips.h"
#include "fake_machine.h"
#include "messaging_manager.h"

namespace {

using acceltest::ConfigOverride;
using acceltest::FakeMachine;
using acceltest::LogCapture;

const std::string kStore = "https://artifacts.corvane.cloud/artifactory/vekai_open/OAAX/runtimes/2.0.0/";
const std::string kUnavailable =
    "NVIDIA GPU acceleration is unavailable on this machine. A different compatible runtime will be used if "
    "available. To enable NVIDIA acceleration, follow the setup instructions in the <a "
    "href=\"https://docs.corvane.cloud/documentation/corvane/corvane/accelerators/nvidia_support";
const std::string kUnavailableX86 = kUnavailable + "#x86_64-ubuntu\" target=\"_blank\">documentation</a>";
const std::string kUnavailableServer = kUnavailable + "#aarch64-server\" target=\"_blank\">documentation</a>";
const std::string kUbuntu2404 =
    "NVIDIA GPU acceleration on aarch64 servers requires Ubuntu 24.04. Please upgrade your OS to Ubuntu "
    "24.04 to use "
    "this feature.";
const std::string kCuda13 =
    "CUDA 13.x is required for NVIDIA aarch64 server acceleration. Please install CUDA 13.1 or later and "
    "restart the "
    "server.";
const std::string kUnsupportedServerGpu =
    "Your NVIDIA GPU is not supported for aarch64 server acceleration. Only Blackwell server GPUs (SM 10.0, "
    "12.0, "
    "12.1) are supported.";

std::string driverNotice(const std::string& toolkit, const std::string& max) {
    return "Your installed CUDA Toolkit (" + toolkit +
           ") is newer than what your NVIDIA driver supports (up to CUDA " + max +
           "). Please update your NVIDIA driver or install a CUDA Toolkit version it supports. See <a "
           "href=\"https://docs.nvidia.com/deploy/cuda-compatibility/\" "
           "target=\"_blank\">https://docs.nvidia.com/deploy/cuda-compatibility/</a> for details on CUDA "
           "Toolkit and "
           "driver compatibility.";
}

std::string capabilityNotice(const std::string& tag) {
    return "Your GPU's compute capability is not compatible with the installed CUDA Toolkit (" + tag +
           "). Please install a CUDA Toolkit version supported by your GPU. See <a "
           "href=\"https://developer.nvidia.com/cuda-gpus\" "
           "target=\"_blank\">https://developer.nvidia.com/cuda-gpus</a> "
           "for the supported compute capabilities per CUDA version.";
}

TEST(NvidiaHelpers, XmlTagValues) {
    struct Case {
        std::string xml, tag, expected;
    };
    const Case cases[] = {
        {"<a><cuda_version>12.6</cuda_version></a>", "cuda_version", "12.6"},
        {"<cuda_version>12.6</cuda_version><cuda_version>11.0</cuda_version>", "cuda_version", "12.6"},
        {"<cuda_version>12.6", "cuda_version", ""},
        {"12.6</cuda_version>", "cuda_version", ""},
        {"<cuda_version></cuda_version>", "cuda_version", ""},
        {"<cuda_umd_version>13.0</cuda_umd_version>", "cuda_version", ""},
    };
    for (const auto& c : cases)
        EXPECT_EQ(extractXmlTagValue(c.xml, c.tag), c.expected) << c.xml;
}

TEST(NvidiaHelpers, MajorMinorTruncation) {
    EXPECT_EQ(truncateToMajorMinor("12.4.1"), "12.4");
    EXPECT_EQ(truncateToMajorMinor("12.4"), "12.4");
    EXPECT_EQ(truncateToMajorMinor("12"), "12");
    EXPECT_EQ(truncateToMajorMinor("1.2.3.4"), "1.2");
    EXPECT_EQ(truncateToMajorMinor(""), "");
}

TEST(NvidiaHelpers, ComputeCapabilityTable) {
    struct Case {
        int capability, cudaMajor;
        bool supported;
    };
    const Case cases[] = {
        {30, 11, false},  {34, 12, false}, {35, 11, true},  {35, 12, false},  {37, 11, true},
        {50, 11, true},   {50, 12, true},  {50, 13, false}, {72, 12, true},   {75, 11, true},
        {86, 13, true},   {89, 12, true},  {90, 13, true},  {100, 11, false}, {100, 12, true},
        {120, 11, false}, {120, 12, true}, {121, 13, true}, {40, 11, true},   {73, 13, true},
        {95, 11, true},   {122, 11, true},
    };
    for (const auto& c : cases)
        EXPECT_EQ(isComputeCapabilitySupported(c.capability, c.cudaMajor), c.supported)
            << c.capability << " with CUDA " << c.cudaMajor;
}

TEST(NvidiaHelpers, DriverCompatibilityComparesMajorAndMinorOnly) {
    struct Case {
        std::string toolkit, max;
        bool compatible;
    };
    const Case cases[] = {
        {"12.4.1", "12.4", true}, {"12.8", "12.4", false}, {"12.4", "12.6", true}, {"13.0.1", "12.9", false},
        {"", "12.4", true},       {"12.8", "", true},      {"12.x", "12.4", true},
    };
    for (const auto& c : cases) {
        MessagingManager messages;
        FakeMachine machine;
        NvidiaChipInfo chip(CPU_ARCH::UNKNOWN, "Ubuntu", "22.04", messages);
        chip.cudaToolkitVersion = c.toolkit;
        EXPECT_EQ(checkCudaDriverCompatibility(chip, messages, c.max), c.compatible)
            << c.toolkit << " " << c.max;
        const auto notices = messages.getMessages();
        if (c.compatible) {
            EXPECT_TRUE(notices.empty());
        } else {
            ASSERT_EQ(notices.count("NVIDIA_GPU_SDK"), 1u);
            EXPECT_EQ(notices.at("NVIDIA_GPU_SDK").text, driverNotice(c.toolkit, c.max));
            EXPECT_EQ(notices.at("NVIDIA_GPU_SDK").type, MESSAGE_TYPE::INFO);
        }
    }
}

TEST(NvidiaHelpers, ToolOutputsAreReducedToTheirValues) {
    FakeMachine machine;
    EXPECT_EQ(queryMaxSupportedCudaVersion(), "");
    EXPECT_EQ(queryComputeCapSM(), "");
    EXPECT_EQ(queryTRTVersion(), "");
    EXPECT_FALSE(hasNvidiaGPU());

    machine.tool("nvidia-smi", "-q -x",
                 "<log><cuda_version>12.4</cuda_version><cuda_umd_version>12.8</cuda_umd_version></log>");
    machine.tool("nvidia-smi", "--query-gpu=compute_cap --format=csv,noheader", " 8.6 \n7.5\n");
    machine.tensorRT(" 10.3.0.26-1+cuda12.5\n");
    EXPECT_EQ(queryMaxSupportedCudaVersion(), "12.8");
    EXPECT_EQ(queryComputeCapSM(), "86");
    EXPECT_EQ(queryTRTVersion(), "10");

    machine.pciDevice("0000:01:00.1", "0x10de", "0x040300");
    EXPECT_FALSE(hasNvidiaGPU());
    machine.pciDevice("0000:01:00.0", "0x10de", "0x030200");
    EXPECT_TRUE(hasNvidiaGPU());
}

TEST(NvidiaHelpers, ToolkitVersionFile) {
    LogCapture log;
    FakeMachine machine;
    std::string version = "untouched";
    EXPECT_EQ(readCudaVersion(version), "");
    EXPECT_EQ(version, "untouched");

    machine.cudaToolkit("12.4.1");
    EXPECT_EQ(readCudaVersion(version), "cuda_12");
    EXPECT_EQ(version, "12.4.1");
    machine.cudaToolkit("10.2");
    EXPECT_EQ(readCudaVersion(version), "");
    EXPECT_EQ(version, "10.2");
    EXPECT_TRUE(log.contains("Cuda version not supported.\n"));
    machine.cudaToolkit("1");
    EXPECT_EQ(readCudaVersion(version), "");

    for (const char* broken : {"{\"cuda\": {\"version\": 12}}", "{\"cuda\": \"12.4\"}", "not json", "[]"}) {
        machine.file("/usr/local/cuda/version.json", broken);
        EXPECT_EQ(readCudaVersion(version), "") << broken;
    }
    EXPECT_TRUE(log.contains("Failed to read the cuda version.\n"));
}

struct ExpectedRuntime {
    std::string link;
    std::string mimeType;
};

struct ProbeCase {
    const char* name;
    CPU_ARCH architecture;
    std::string osVersion;
    bool tensorRT;
    std::function<void(FakeMachine&)> setup;
    bool detected;
    CPU_ARCH recordedArchitecture;
    std::string apiVersion;
    int32_t chips;
    std::map<std::string, ExpectedRuntime> runtimes;
    std::string notice;  // empty: none
    std::string logLine;
};

void x86Gpu(FakeMachine& m, const std::string& max, const std::string& capability,
            const std::string& toolkit) {
    m.nvidiaGpu();
    m.nvidiaSmi(max, capability);
    m.cudaToolkit(toolkit);
    m.tensorRT("10.3.0.26-1+cuda12.5");
}

void server(FakeMachine& m, const std::string& capability, const std::string& toolkit) {
    m.nvidiaGpu();
    m.nvidiaSmi("13.0", capability);
    m.cudaToolkit(toolkit);
    m.tensorRT("10.13.3.9-1+cuda13.0");
}

ExpectedRuntime onnx(const std::string& architecture, const std::string& tag) {
    return {kStore + "NVIDIA_ORT/" + architecture + "/Ubuntu/library-" + tag + ".tar.gz",
            "application/x-onnx"};
}

ExpectedRuntime trt(const std::string& architecture, const std::string& os, const std::string& tag,
                    const std::string& sm) {
    return {kStore + "NVIDIA_TRT/" + architecture + "/Ubuntu/" + os + "/library-trt10-" + tag + ".tar.gz",
            "application/x-tensorrt; arch=" + architecture + "; sm=" + sm + "; trt=10"};
}

const ProbeCase kProbeCases[] = {
    {"x86 cuda 12 on 22.04",
     CPU_ARCH::X86_64,
     "22.04",
     true,
     [](FakeMachine& m) { x86Gpu(m, "12.6", "8.6", "12.4.1"); },
     true,
     CPU_ARCH::X86_64,
     "cuda_12",
     1,
     {{"NVIDIA", onnx("x86_64", "cuda_12")}, {"NVIDIA TensorRT", trt("x86_64", "22.04", "cuda_12", "86")}},
     "",
     "Max supported CUDA version: 12.6\n"},
    {"x86 cuda 12 on 24.04",
     CPU_ARCH::X86_64,
     "24.04",
     true,
     [](FakeMachine& m) { x86Gpu(m, "12.6", "8.6", "12.4.1"); },
     true,
     CPU_ARCH::X86_64,
     "cuda_12",
     1,
     {{"NVIDIA", onnx("x86_64", "cuda_12")}},
     "",
     ""},
    {"x86 with TensorRT switched off",
     CPU_ARCH::X86_64,
     "22.04",
     false,
     [](FakeMachine& m) { x86Gpu(m, "12.6", "8.6", "12.4.1"); },
     true,
     CPU_ARCH::X86_64,
     "cuda_12",
     1,
     {{"NVIDIA", onnx("x86_64", "cuda_12")}},
     "",
     ""},
    {"x86 cuda 11 never gets TensorRT",
     CPU_ARCH::X86_64,
     "22.04",
     true,
     [](FakeMachine& m) { x86Gpu(m, "12.2", "8.6", "11.8.89"); },
     true,
     CPU_ARCH::X86_64,
     "cuda_11",
     1,
     {{"NVIDIA", onnx("x86_64", "cuda_11")}},
     "",
     ""},
    {"x86 cuda 13 on two GPUs",
     CPU_ARCH::X86_64,
     "22.04",
     true,
     [](FakeMachine& m) {
         x86Gpu(m, "13.0", "12.0", "13.0.1");
         m.tool("nvidia-smi", "--query-gpu=count --format=csv,noheader", "2\n2\n");
     },
     true,
     CPU_ARCH::X86_64,
     "cuda_13",
     2,
     {{"NVIDIA", onnx("x86_64", "cuda_13")}, {"NVIDIA TensorRT", trt("x86_64", "22.04", "cuda_13", "120")}},
     "",
     ""},
    {"x86 toolkit patch level above the driver's minor passes",
     CPU_ARCH::X86_64,
     "24.04",
     false,
     [](FakeMachine& m) { x86Gpu(m, "12.4", "8.9", "12.4.1"); },
     true,
     CPU_ARCH::X86_64,
     "cuda_12",
     1,
     {{"NVIDIA", onnx("x86_64", "cuda_12")}},
     "",
     ""},
    {"x86 driver too old",
     CPU_ARCH::X86_64,
     "22.04",
     true,
     [](FakeMachine& m) { x86Gpu(m, "12.4", "8.6", "12.8"); },
     true,
     CPU_ARCH::X86_64,
     "cuda_12",
     0,
     {},
     driverNotice("12.8", "12.4"),
     "Installed CUDA Toolkit (12.8) exceeds the maximum CUDA version supported by the installed NVIDIA "
     "driver "
     "(12.4).\n"},
    {"x86 capability 3.0",
     CPU_ARCH::X86_64,
     "22.04",
     true,
     [](FakeMachine& m) { x86Gpu(m, "12.2", "3.0", "11.8"); },
     true,
     CPU_ARCH::X86_64,
     "cuda_11",
     0,
     {},
     capabilityNotice("cuda_11"),
     "GPU compute capability (SM 30) is not compatible with the installed CUDA Toolkit (cuda_11).\n"},
    {"x86 capability 3.5 with cuda 11",
     CPU_ARCH::X86_64,
     "22.04",
     true,
     [](FakeMachine& m) { x86Gpu(m, "12.2", "3.5", "11.8"); },
     true,
     CPU_ARCH::X86_64,
     "cuda_11",
     1,
     {{"NVIDIA", onnx("x86_64", "cuda_11")}},
     "",
     ""},
    {"x86 capability 3.5 with cuda 12",
     CPU_ARCH::X86_64,
     "22.04",
     true,
     [](FakeMachine& m) { x86Gpu(m, "12.2", "3.5", "12.1"); },
     true,
     CPU_ARCH::X86_64,
     "cuda_12",
     0,
     {},
     capabilityNotice("cuda_12"),
     ""},
    {"x86 capability 12.0 with cuda 11",
     CPU_ARCH::X86_64,
     "22.04",
     true,
     [](FakeMachine& m) { x86Gpu(m, "12.8", "12.0", "11.8"); },
     true,
     CPU_ARCH::X86_64,
     "cuda_11",
     0,
     {},
     capabilityNotice("cuda_11"),
     ""},
    {"x86 capability that is no number is not checked",
     CPU_ARCH::X86_64,
     "22.04",
     false,
     [](FakeMachine& m) { x86Gpu(m, "12.6", "[N/A]", "12.4"); },
     true,
     CPU_ARCH::X86_64,
     "cuda_12",
     1,
     {{"NVIDIA", onnx("x86_64", "cuda_12")}},
     "",
     ""},
    {"x86 toolkit 10.2",
     CPU_ARCH::X86_64,
     "22.04",
     true,
     [](FakeMachine& m) { x86Gpu(m, "12.6", "8.6", "10.2"); },
     true,
     CPU_ARCH::X86_64,
     "",
     0,
     {},
     kUnavailableX86,
     "You can download and install the CUDA Toolkit from the following URL: "
     "https://developer.nvidia.com/cuda-12-6-0-download-archive?target_os=Linux&target_arch=x86_64\n"},
    {"x86 without toolkit",
     CPU_ARCH::X86_64,
     "22.04",
     true,
     [](FakeMachine& m) {
         m.nvidiaGpu();
         m.nvidiaSmi("12.6", "8.6");
     },
     true,
     CPU_ARCH::X86_64,
     "",
     0,
     {},
     kUnavailableX86,
     "CUDA version not found in the /usr/local/cuda/version.json file.\n"},
    {"x86 without nvidia-smi",
     CPU_ARCH::X86_64,
     "22.04",
     true,
     [](FakeMachine& m) {
         m.nvidiaGpu();
         m.cudaToolkit("12.4");
     },
     false,
     CPU_ARCH::X86_64,
     "",
     0,
     {},
     kUnavailableX86,
     "nvidia-smi not found or not working properly.\n"},
    {"x86 nvidia-smi without a CUDA version",
     CPU_ARCH::X86_64,
     "22.04",
     true,
     [](FakeMachine& m) {
         m.nvidiaGpu();
         m.tool("nvidia-smi", "", "NVIDIA-SMI\n");
         m.tool("nvidia-smi", "-q -x", "<nvidia_smi_log></nvidia_smi_log>");
         m.cudaToolkit("12.4");
     },
     true,
     CPU_ARCH::X86_64,
     "",
     0,
     {},
     kUnavailableX86,
     "Failed to extract the max supported CUDA version from the nvidia-smi output.\n"},
    {"x86 GPU count unknown",
     CPU_ARCH::X86_64,
     "22.04",
     true,
     [](FakeMachine& m) {
         m.nvidiaGpu();
         x86Gpu(m, "12.6", "8.6", "12.4");
         m.tool("nvidia-smi", "--query-gpu=count --format=csv,noheader", "", 9);
     },
     true,
     CPU_ARCH::X86_64,
     "cuda_12",
     0,
     {},
     kUnavailableX86,
     "The number of NVIDIA GPUs cannot be determined.\n"},
    {"x86 without TensorRT package",
     CPU_ARCH::X86_64,
     "22.04",
     true,
     [](FakeMachine& m) {
         m.nvidiaGpu();
         m.nvidiaSmi("12.6", "8.6");
         m.cudaToolkit("12.4");
     },
     true,
     CPU_ARCH::X86_64,
     "cuda_12",
     1,
     {{"NVIDIA", onnx("x86_64", "cuda_12")}},
     "",
     "TRT runtime skipped: SM or TRT version could not be determined.\n"},
    {"x86 without NVIDIA GPU",
     CPU_ARCH::X86_64,
     "22.04",
     true,
     [](FakeMachine& m) {
         m.pciDevice("0000:00:02.0", "0x8086", "0x030000");
         m.nvidiaSmi("12.6", "8.6");
         m.cudaToolkit("12.4");
     },
     false,
     CPU_ARCH::X86_64,
     "",
     0,
     {},
     "",
     "NVIDIA GPU not found.\n"},
    {"jetson",
     CPU_ARCH::AARCH64,
     "22.04",
     true,
     [](FakeMachine& m) {
         m.jetson();
         m.nvidiaSmi("12.6", "8.7");
         m.cudaToolkit("12.6.68");
         m.tensorRT("10.3.0.30-1+cuda12.5");
     },
     true,
     CPU_ARCH::AARCH64_JETSON,
     "cuda_12",
     1,
     {{"NVIDIA", onnx("aarch64-jetson", "cuda_12")},
      {"NVIDIA TensorRT", trt("aarch64-jetson", "22.04", "cuda_12", "87")}},
     "",
     ""},
    {"jetson without nvidia-smi",
     CPU_ARCH::AARCH64,
     "20.04",
     true,
     [](FakeMachine& m) {
         m.jetson();
         m.cudaToolkit("12.2.140");
         m.tensorRT("8.6.2.3-1+cuda12.2");
     },
     true,
     CPU_ARCH::AARCH64_JETSON,
     "cuda_12",
     1,
     {{"NVIDIA", onnx("aarch64-jetson", "cuda_12")}},
     "",
     "TRT runtime skipped: SM or TRT version could not be determined.\n"},
    {"jetson without toolkit",
     CPU_ARCH::AARCH64,
     "22.04",
     true,
     [](FakeMachine& m) { m.jetson(); },
     true,
     CPU_ARCH::AARCH64,
     "",
     0,
     {},
     "",
     "Failed to read CUDA version on Jetson.\n"},
    {"aarch64 server",
     CPU_ARCH::AARCH64,
     "24.04",
     true,
     [](FakeMachine& m) { server(m, "12.0", "13.0.1"); },
     true,
     CPU_ARCH::AARCH64_SBSA,
     "cuda_13",
     1,
     {{"NVIDIA", onnx("aarch64-sbsa", "cuda_13")},
      {"NVIDIA TensorRT", trt("aarch64-sbsa", "24.04", "cuda_13", "120")}},
     "",
     ""},
    {"aarch64 server with several GPUs",
     CPU_ARCH::AARCH64,
     "24.04",
     false,
     [](FakeMachine& m) {
         server(m, "10.0", "13.0.1");
         m.tool("nvidia-smi", "--query-gpu=compute_cap --format=csv,noheader", "10.0\n10.0\n10.0\n10.0\n");
     },
     true,
     CPU_ARCH::AARCH64_SBSA,
     "cuda_13",
     1,
     {{"NVIDIA", onnx("aarch64-sbsa", "cuda_13")}},
     "",
     ""},
    {"aarch64 server on 22.04",
     CPU_ARCH::AARCH64,
     "22.04",
     true,
     [](FakeMachine& m) { server(m, "12.0", "13.0.1"); },
     false,
     CPU_ARCH::AARCH64,
     "",
     0,
     {},
     kUbuntu2404,
     "NVIDIA aarch64 server acceleration requires Ubuntu 24.04 (detected: Ubuntu 22.04).\n"},
    {"aarch64 server with a Hopper GPU",
     CPU_ARCH::AARCH64,
     "24.04",
     true,
     [](FakeMachine& m) { server(m, "9.0", "13.0.1"); },
     true,
     CPU_ARCH::AARCH64,
     "",
     0,
     {},
     kUnsupportedServerGpu,
     "Unsupported GPU compute capability: 9.0 (supported: 10.0, 12.0, 12.1).\n"},
    {"aarch64 server with CUDA 12",
     CPU_ARCH::AARCH64,
     "24.04",
     true,
     [](FakeMachine& m) { server(m, "12.1", "12.8"); },
     true,
     CPU_ARCH::AARCH64,
     "",
     0,
     {},
     kCuda13,
     "CUDA 13.x required for aarch64 server acceleration (found: cuda_12).\n"},
    {"aarch64 server without nvidia-smi",
     CPU_ARCH::AARCH64,
     "24.04",
     true,
     [](FakeMachine& m) {
         m.nvidiaGpu();
         m.cudaToolkit("13.0");
     },
     false,
     CPU_ARCH::AARCH64,
     "",
     0,
     {},
     kUnavailableServer,
     "nvidia-smi not found or not working properly on aarch64 server.\n"},
    {"aarch64 without NVIDIA",
     CPU_ARCH::AARCH64,
     "24.04",
     true,
     [](FakeMachine& m) { m.cudaToolkit("13.0"); },
     false,
     CPU_ARCH::AARCH64,
     "",
     0,
     {},
     "",
     "NVIDIA GPU not found on aarch64.\n"},
    {"unknown architecture",
     CPU_ARCH::UNKNOWN,
     "22.04",
     true,
     [](FakeMachine& m) { x86Gpu(m, "12.6", "8.6", "12.4.1"); },
     false,
     CPU_ARCH::UNKNOWN,
     "",
     0,
     {},
     "",
     ""},
};

void PrintTo(const ProbeCase& c, std::ostream* out) {
    *out << c.name;
}

class NvidiaProbe : public ::testing::TestWithParam<ProbeCase> {};

TEST_P(NvidiaProbe, RegistersRuntimesOrExplainsWhyNot) {
    const ProbeCase& c = GetParam();
    LogCapture log;
    ConfigOverride config;
    ini().enableNvidiaTRTIntegration = c.tensorRT;
    FakeMachine machine;
    c.setup(machine);
    MessagingManager messages;

    const NvidiaChipInfo chip(c.architecture, "Ubuntu", c.osVersion, messages);

    EXPECT_EQ(chip.chipName, "NVIDIA");
    EXPECT_EQ(chip.chipDetected, c.detected);
    EXPECT_EQ(chip.correctlyInstalled, !c.runtimes.empty());
    EXPECT_EQ(chip.cpuArchitecture, c.recordedArchitecture);
    EXPECT_EQ(chip.apiVersion, c.apiVersion);
    EXPECT_EQ(chip.numberOfChips, c.chips);
    std::map<std::string, ExpectedRuntime> registered;
    for (const auto& [name, runtime] : chip.runtimes) {
        ASSERT_EQ(runtime.supportedMimeTypes.size(), 1u) << name;
        registered[name] = {runtime.downloadLink, runtime.supportedMimeTypes.front()};
    }
    ASSERT_EQ(registered.size(), c.runtimes.size());
    for (const auto& [name, expected] : c.runtimes) {
        ASSERT_EQ(registered.count(name), 1u) << name;
        EXPECT_EQ(registered[name].link, expected.link) << name;
        EXPECT_EQ(registered[name].mimeType, expected.mimeType) << name;
    }
    const auto notices = messages.getMessages();
    if (c.notice.empty()) {
        EXPECT_TRUE(notices.empty()) << notices.begin()->second.text;
    } else {
        ASSERT_EQ(notices.size(), 1u);
        ASSERT_EQ(notices.count("NVIDIA_GPU_SDK"), 1u);
        EXPECT_EQ(notices.at("NVIDIA_GPU_SDK").text, c.notice);
        EXPECT_EQ(notices.at("NVIDIA_GPU_SDK").type, MESSAGE_TYPE::INFO);
    }
    if (!c.logLine.empty()) {
        EXPECT_TRUE(log.contains(c.logLine)) << log.text();
    }
}

INSTANTIATE_TEST_SUITE_P(Machines, NvidiaProbe, ::testing::ValuesIn(kProbeCases),
                         [](const ::testing::TestParamInfo<ProbeCase>& info) {
                             std::string name = info.param.name;
                             for (char& ch : name) {
                                 if (!std::isalnum(static_cast<unsigned char>(ch)))
                                     ch = '_';
                             }
                             return name;
                         });

}  // namespace
