#include <gtest/gtest.h>

#include "accl_manager/chips.h"
#include "fake_machine.h"
#include "messaging_manager.h"

namespace {

using acceltest::ConfigOverride;
using acceltest::FakeMachine;
using acceltest::LogCapture;

const std::string kStore = "https://artifacts.corvane.cloud/artifactory/vekai_open/OAAX/runtimes/2.0.0/";

TEST(CPUProbe, AcceptsLibc230AndNewer) {
    struct Case {
        std::string lddOutput;
        int exitCode;
        bool installed;
        std::string apiVersion;
        std::string logLine;
    };
    const Case cases[] = {
        {"ldd (Ubuntu GLIBC 2.35-0ubuntu3.8) 2.35\n", 0, true, "2.35", ""},
        {"ldd (GNU libc) 2.30\n", 0, true, "2.30", ""},
        {"ldd (Debian GLIBC 2.36-9+deb12u14) 2.36\n", 0, true, "2.36", ""},
        {"ldd (GNU libc) 3.1\n", 0, true, "3.1", ""},
        {"ldd (GNU libc) 2.29\n", 0, false, "2.29",
         "Warning: The libc version is lower than the required version: 2.30\n"},
        {"ldd (GNU libc) 2\n", 0, false, "2",
         "Warning: The libc version is lower than the required version: 2.30\n"},
        {"2.35", 0, true, "2.35", ""},
        {"ldd (GNU libc) 2.x5\n", 0, false, "", "Warning: Failed to get the libc version.\n"},
        {"ldd (GNU libc) 2.31.beta\n", 0, true, "", "Warning: Failed to get the libc version.\n"},
        {"ldd (GNU libc) unknown\n", 0, false, "", "Warning: Couldn't read the libc version.\n"},
        {"", 1, false, "", "Warning: Couldn't read the libc version.\n"},
    };
    for (const auto& c : cases) {
        LogCapture log;
        FakeMachine machine;
        machine.tool("ldd", "--version", c.lddOutput, c.exitCode);
        const CPUChipInfo chip(CPU_ARCH::X86_64, "Ubuntu", "22.04");
        EXPECT_TRUE(chip.chipDetected) << c.lddOutput;
        EXPECT_EQ(chip.numberOfChips, 1);
        EXPECT_EQ(chip.correctlyInstalled, c.installed) << c.lddOutput;
        EXPECT_EQ(chip.apiVersion, c.apiVersion) << c.lddOutput;
        EXPECT_EQ(chip.chipName, "CPU");
        if (!c.logLine.empty()) {
            EXPECT_TRUE(log.contains(c.logLine)) << c.lddOutput;
        }
        if (c.installed) {
            ASSERT_EQ(chip.getPossibleRuntimeNames(""), std::vector<std::string>{"Generic CPU"});
            EXPECT_EQ(chip.runtimes.at("Generic CPU").downloadLink,
                      kStore + "CPU/x86_64/Ubuntu/library.tar.gz");
            EXPECT_EQ(chip.getPossibleRuntimeNames("application/x-onnx"),
                      std::vector<std::string>{"Generic CPU"});
            EXPECT_TRUE(chip.getPossibleRuntimeNames("application/x-dxnn").empty());
        } else {
            EXPECT_TRUE(chip.runtimes.empty()) << c.lddOutput;
        }
    }
}

TEST(IntelProbe, OpenCLDecidesAndItsAbsenceIsExplained) {
    FakeMachine machine;
    {
        MessagingManager messages;
        machine.libraries({"libgomp.so.1", "libOpenCL.so.1"});
        const IntelChipInfo chip(CPU_ARCH::X86_64, "Ubuntu", "22.04", messages);
        EXPECT_TRUE(chip.chipDetected);
        EXPECT_TRUE(chip.correctlyInstalled);
        EXPECT_EQ(chip.numberOfChips, 1);
        ASSERT_EQ(chip.runtimes.count("Intel"), 1u);
        EXPECT_EQ(chip.runtimes.at("Intel").downloadLink, kStore + "INTEL/x86_64/Ubuntu/library.tar.gz");
        EXPECT_EQ(chip.runtimes.at("Intel").supportedMimeTypes,
                  std::vector<std::string>{"application/zip; device=intel; precision=fp32"});
        EXPECT_TRUE(messages.getMessages().empty());
    }
    {
        MessagingManager messages;
        machine.libraries({"libgomp.so.1"});
        const IntelChipInfo chip(CPU_ARCH::X86_64, "Ubuntu", "22.04", messages);
        EXPECT_FALSE(chip.correctlyInstalled);
        EXPECT_TRUE(chip.runtimes.empty());
        const auto notices = messages.getMessages();
        ASSERT_EQ(notices.count("MISSING_OPENCL_ERROR"), 1u);
        EXPECT_EQ(notices.at("MISSING_OPENCL_ERROR").type, MESSAGE_TYPE::INFO);
        EXPECT_EQ(notices.at("MISSING_OPENCL_ERROR").text,
                  "Intel hardware acceleration is unavailable on this machine: a required dependency "
                  "(OpenCL) is not "
                  "installed. A different compatible runtime will be used if available. To enable Intel "
                  "acceleration, follow the setup instructions in the <a href=\"https://docs.corvane.cloud/"
                  "documentation/corvane/corvane/accelerators/intel_support#software-requirements\" "
                  "target=\"_blank\">documentation</a>");
    }
    {
        MessagingManager messages;
        const IntelChipInfo chip(CPU_ARCH::AARCH64, "Ubuntu", "22.04", messages);
        EXPECT_FALSE(chip.chipDetected);
        EXPECT_TRUE(chip.runtimes.empty());
        EXPECT_TRUE(messages.getMessages().empty());
    }
}

TEST(HailoProbe, VersionAndArchitectureDecideTheRuntime) {
    struct Case {
        const char* name;
        CPU_ARCH architecture;
        int devices;
        std::string version;
        std::string versionOutput;  // replaces the recorded "hailortcli -v" answer when not empty
        std::string deviceArchitecture;
        bool detected, installed;
        int chipType;
        std::string mimeType;  // empty: no runtime
        std::string logLine;
    };
    const Case cases[] = {
        {"hailo-8 on x86_64", CPU_ARCH::X86_64, 1, "4.20.0", "", "HAILO8", true, true, 1,
         "application/x-hailo8", ""},
        {"two hailo-8l on aarch64", CPU_ARCH::AARCH64, 2, "4.17.0", "", "HAILO8L", true, true, 2,
         "application/x-hailo8l", ""},
        {"no devices", CPU_ARCH::X86_64, 0, "4.20.0", "", "HAILO8", false, false, 0, "",
         "No Hailo-8 devices found\n"},
        {"unsupported version", CPU_ARCH::X86_64, 1, "4.21.0", "", "HAILO8", true, false, 1, "",
         "Hailo-8 driver version 4.21.0 is not supported."},
        {"version printed twice", CPU_ARCH::X86_64, 1, "4.20.0",
         "HailoRT-CLI version 4.20.0\nHailoRT-CLI version 4.20.0\n", "HAILO8", true, false, 1, "",
         "Notice: Failed to parse the driver version from the output of 'hailortcli -v'\n"},
        {"other architecture", CPU_ARCH::X86_64, 1, "4.19.0", "", "HAILO15H", true, true, 0, "",
         "ERROR: No supported mime types found for the runtime\n"},
        {"armv7", CPU_ARCH::UNKNOWN, 1, "4.20.0", "", "HAILO8", false, false, 0, "", ""},
    };
    for (const auto& c : cases) {
        LogCapture log;
        FakeMachine machine;
        machine.hailo(c.devices, c.version, c.deviceArchitecture);
        if (!c.versionOutput.empty())
            machine.tool("hailortcli", "-v", c.versionOutput);
        const HailoChipInfo chip(c.architecture, "Ubuntu", "22.04");
        EXPECT_EQ(chip.chipName, "HAILO");
        EXPECT_EQ(chip.chipDetected, c.detected) << c.name;
        EXPECT_EQ(chip.correctlyInstalled, c.installed) << c.name;
        EXPECT_EQ(chip.hailoChipType, c.chipType) << c.name;
        EXPECT_EQ(chip.numberOfChips, c.detected ? c.devices : 0) << c.name;
        if (c.mimeType.empty()) {
            EXPECT_TRUE(chip.runtimes.empty()) << c.name;
        } else {
            ASSERT_EQ(chip.runtimes.count("Hailo"), 1u) << c.name;
            EXPECT_EQ(chip.runtimes.at("Hailo").supportedMimeTypes, std::vector<std::string>{c.mimeType});
            EXPECT_EQ(chip.runtimes.at("Hailo").downloadLink,
                      kStore + "HAILO/" + Utils::CPUArchitectureToString(c.architecture) +
                          "/Ubuntu/library-" + c.version + ".tar.gz");
        }
        if (!c.logLine.empty()) {
            EXPECT_TRUE(log.contains(c.logLine)) << c.name;
        }
    }
}

TEST(HailoProbe, FailingToolsLeaveTheChipDetectedButUnidentified) {
    LogCapture log;
    FakeMachine machine;
    machine.file("/sys/class/hailo_chardev/hailo0", "");
    machine.tool("hailortcli", "-v", "driver not loaded\n", 1);
    EXPECT_EQ(get_hailo_driver_version(), "");
    EXPECT_TRUE(log.contains("Notice: Failed to run: 'hailortcli -v'\n"));
    EXPECT_TRUE(log.contains("stdout/stderr: driver not loaded\n"));
    EXPECT_EQ(get_hailo_chip_type(), HailoChipInfo::kNotIdentified);
    EXPECT_TRUE(log.contains("Notice: Failed to run: 'hailortcli fw-control identify'\n"));
    EXPECT_EQ(list_devices(), std::vector<std::string>{"hailo0"});

    machine.tool("hailortcli", "fw-control identify",
                 "Device Architecture: HAILO15\nDevice Architecture: HAILO8L\nDevice Architecture: HAILO8\n");
    EXPECT_EQ(get_hailo_chip_type(), HailoChipInfo::kHailo8L);
}

TEST(DEEPXProbe, CountsDevicesAndMatchesTheDriverVersion) {
    struct Case {
        const char* name;
        int devices;
        std::string dxrtOutput;
        int dxrtExit;
        bool detected, installed;
        std::string apiVersion;
        std::string logLine;
    };
    const Case cases[] = {
        {"supported", 2, "DXRT v3.3.2\n", 0, true, true, "dxrt-v3.3.2", ""},
        {"newer", 1, "DXRT v3.4.0\n", 0, true, false, "3.4.0",
         "DEEPX driver version 3.4.0 is not supported.\n"},
        {"huge number", 1, "DXRT v99999999999.0.0\n", 0, true, false, "99999999999.0.0",
         "DEEPX driver version 99999999999.0.0 is not supported.\n"},
        {"no version", 1, "DX runtime\n", 0, true, false, "", "DEEPX driver version not detected.\n"},
        {"no driver", 1, "", 1, true, false, "", "DEEPX driver not detected.\n"},
        {"no device", 0, "DXRT v3.3.2\n", 0, false, false, "",
         "The number of DEEPX chips cannot be detected.\n"},
    };
    for (const auto& c : cases) {
        LogCapture log;
        FakeMachine machine;
        machine.deepxDevices(c.devices);
        machine.tool("dxrt-cli", "-i", c.dxrtOutput, c.dxrtExit);
        const DEEPXChipInfo chip(CPU_ARCH::X86_64, "Ubuntu", "22.04");
        EXPECT_EQ(chip.chipDetected, c.detected) << c.name;
        EXPECT_EQ(chip.correctlyInstalled, c.installed) << c.name;
        EXPECT_EQ(chip.numberOfChips, c.detected ? c.devices : 0) << c.name;
        EXPECT_EQ(chip.apiVersion, c.apiVersion) << c.name;
        if (!c.logLine.empty()) {
            EXPECT_TRUE(log.contains(c.logLine)) << c.name;
        }
        if (c.installed) {
            ASSERT_EQ(chip.runtimes.count("DEEPX"), 1u);
            EXPECT_EQ(chip.runtimes.at("DEEPX").downloadLink,
                      kStore + "DEEPX/x86_64/Ubuntu/22.04/library-dxrt-v3.3.2.tar.gz");
            EXPECT_EQ(chip.runtimes.at("DEEPX").supportedMimeTypes,
                      std::vector<std::string>{"application/x-dxnn"});
        } else {
            EXPECT_TRUE(chip.runtimes.empty()) << c.name;
        }
    }
}

TEST(DEEPXProbe, ACountThatIsNoNumberMeansNoChip) {
    LogCapture log;
    FakeMachine machine;
    machine.script("grep", "echo many");
    const DEEPXChipInfo chip(CPU_ARCH::AARCH64, "Ubuntu", "22.04");
    EXPECT_FALSE(chip.chipDetected);
    EXPECT_TRUE(log.contains("The number of DEEPX chips cannot be detected.\n"));
}

}  // namespace
