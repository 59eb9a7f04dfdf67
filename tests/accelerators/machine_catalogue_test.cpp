#include <gtest/gtest.h>

#include <stdexcept>

#include "accl_manager/globals.h"
#include "accl_manager/utils.h"
#include "fake_machine.h"

namespace {

using acceltest::ConfigOverride;
using acceltest::FakeMachine;
using acceltest::LogCapture;

TEST(TextUtilities, ReplaceAllResumesAfterTheInsertedText) {
    struct Case {
        std::string text, from, to, expected;
    };
    const Case cases[] = {
        {"a-b-c", "-", "+", "a+b+c"}, {"aaa", "a", "aa", "aaaaaa"},
        {"{x}{x}", "{x}", "", ""},    {"abc", "", "z", "abc"},
        {"abc", "d", "z", "abc"},     {"{/os_version}", "{/os_version}", "/22.04", "/22.04"},
    };
    for (const auto& c : cases) {
        std::string text = c.text;
        Utils::replaceAll(text, c.from, c.to);
        EXPECT_EQ(text, c.expected) << c.text << " / " << c.from;
    }
}

TEST(TextUtilities, SplitKeepsInnerEmptyPiecesButNoTrailingOne) {
    struct Case {
        std::string text;
        std::vector<std::string> expected;
    };
    const Case cases[] = {
        {"", {}},
        {"1.2.3", {"1", "2", "3"}},
        {"1..2", {"1", "", "2"}},
        {"1.2.", {"1", "2"}},
        {".1", {"", "1"}},
        {".", {""}},
        {"abc", {"abc"}},
    };
    for (const auto& c : cases)
        EXPECT_EQ(Utils::split(c.text, '.'), c.expected) << c.text;
}

TEST(TextUtilities, CompareVersionPadsWithZerosAndComparesNumerically) {
    struct Case {
        std::string a, b;
        int expected;
    };
    const Case cases[] = {
        {"4.20", "4.20.0", 0}, {"3.10.1", "3.9.9", 1}, {"3.9.9", "3.10.1", -1},
        {"12.4", "12.4.0", 0}, {"12.8", "12.4", 1},    {"2", "2.0.1", -1},
        {"3.3.2", "3.3.2", 0}, {" 3.+3", "3.3", 0},    {"3.3rc", "3.3", 0},
        {"", "", 0},
    };
    for (const auto& c : cases)
        EXPECT_EQ(Utils::compare_version(c.a, c.b), c.expected) << c.a << " vs " << c.b;
}

TEST(TextUtilities, CompareVersionThrowsOnPiecesThatAreNoIntegers) {
    EXPECT_THROW(Utils::compare_version("1..2", "1.0.2"), std::invalid_argument);
    EXPECT_THROW(Utils::compare_version("1.x", "1.0"), std::invalid_argument);
    EXPECT_THROW(Utils::compare_version("1.99999999999", "1.0"), std::out_of_range);
}

TEST(ShellCommands, ReportOutputAndTheRawWaitStatus) {
    auto [status, output] = Utils::runShellCommand("printf 'one\\ntwo'; exit 3");
    EXPECT_EQ(status, 3 * 256);
    EXPECT_EQ(output, "one\ntwo");

    // Longer than one read chunk, with standard error left out.
    std::tie(status, output) = Utils::runShellCommand("head -c 1000 /dev/zero | tr '\\0' 'x'; echo err >&2");
    EXPECT_EQ(status, 0);
    EXPECT_EQ(output, std::string(1000, 'x'));
}

TEST(ShellCommands, QuotedWordsSurviveTheShellUnchanged) {
    for (const std::string text :
         {"plain", "with space", "it's", "$(touch /nonexistent)", "a\"b`c`\\d", ""}) {
        const auto [status, output] = Utils::runShellCommand("printf '%s' " + Utils::shellQuote(text));
        EXPECT_EQ(status, 0);
        EXPECT_EQ(output, text);
    }
}

TEST(MachineChecks, Avx2NeedsBothWordsOnOneLine) {
    FakeMachine machine;
    machine.cpuFlags(true);
    EXPECT_TRUE(Utils::is_avx2_supported());
    machine.cpuFlags(false);
    EXPECT_FALSE(Utils::is_avx2_supported());
    machine.file("/proc/cpuinfo", "flags : sse\nmodel name : avx2 lookalike\n");
    EXPECT_FALSE(Utils::is_avx2_supported());
    std::filesystem::remove(machine.rootDir() / "proc" / "cpuinfo");
    EXPECT_FALSE(Utils::is_avx2_supported());
}

TEST(MachineChecks, LibraryPresenceComesFromTheLinkerCache) {
    FakeMachine machine;
    EXPECT_FALSE(Utils::is_library_installed("libgomp.so"));
    machine.libraries({"libgomp.so.1", "libOpenCL.so.1"});
    EXPECT_TRUE(Utils::is_library_installed("libgomp.so"));
    EXPECT_TRUE(Utils::is_library_installed("libOpenCL.so"));
    EXPECT_FALSE(Utils::is_library_installed("libcuda.so"));
}

TEST(CpuArchitecture, TextForms) {
    EXPECT_EQ(Utils::CPUArchitectureToString(CPU_ARCH::UNKNOWN), "UNKNOWN");
    EXPECT_EQ(Utils::CPUArchitectureToString(CPU_ARCH::AARCH64), "aarch64");
    EXPECT_EQ(Utils::CPUArchitectureToString(CPU_ARCH::AARCH64_JETSON), "aarch64-jetson");
    EXPECT_EQ(Utils::CPUArchitectureToString(CPU_ARCH::AARCH64_SBSA), "aarch64-sbsa");
    EXPECT_EQ(Utils::CPUArchitectureToString(CPU_ARCH::X86_64), "x86_64");
    EXPECT_EQ(Utils::CPUArchitectureToString(static_cast<CPU_ARCH>(9)), "UNKNOWN");
}

TEST(MachineInfoTest, ReadsTheDistributionAndTheArchitecture) {
    struct Case {
        const char* name;
        std::string osRelease;
        std::string machine;
        std::string osName, osVersion;
        CPU_ARCH architecture;
        std::string logLine;
    };
    const Case cases[] = {
        {"ubuntu", "NAME=\"Ubuntu\"\nID=ubuntu\nID_LIKE=debian\nVERSION_ID=\"22.04\"\n", "x86_64", "Ubuntu",
         "22.04", CPU_ARCH::X86_64, ""},
        {"debian 12 quoted", "ID=debian\nVERSION_ID=\"12\"\n", "x86_64", "Ubuntu", "22.04", CPU_ARCH::X86_64,
         "Translating Debian version '12' to Ubuntu version..."},
        {"debian 12 bare", "VERSION_ID=12\nID=debian\n", "aarch64", "Ubuntu", "22.04", CPU_ARCH::AARCH64, ""},
        {"debian 11", "ID=debian\nVERSION_ID=11\n", "x86_64", "Ubuntu", "20.04", CPU_ARCH::X86_64, ""},
        {"debian 13", "ID=debian\nVERSION_ID=\"13\"\n", "x86_64", "Ubuntu", "24.04", CPU_ARCH::X86_64, ""},
        {"debian 10 kept", "ID=debian\nVERSION_ID=\"10\"\n", "x86_64", "Ubuntu", "10", CPU_ARCH::X86_64, ""},
        {"quoted capitalised id", "ID=\"Ubuntu\"\nVERSION_ID=\"24.04\"\n", "x86_64", "Ubuntu", "24.04",
         CPU_ARCH::X86_64, ""},
        {"cv75", "ID=cv75\nVERSION_ID=1.2\n", "aarch64", "Ubuntu", "1.2", CPU_ARCH::AARCH64, ""},
        {"last occurrence wins", "ID=fedora\nVERSION_ID=39\nID=ubuntu\nVERSION_ID=\"20.04\"\n", "x86_64",
         "Ubuntu", "20.04", CPU_ARCH::X86_64, ""},
        {"unterminated quote", "ID=\"ubuntu\nVERSION_ID=\"22.04\n", "x86_64", "Ubuntu", "22.04",
         CPU_ARCH::X86_64, ""},
        {"no version", "ID=ubuntu\n", "x86_64", "Ubuntu", "", CPU_ARCH::X86_64, ""},
        {"fedora", "ID=fedora\nVERSION_ID=39\n", "x86_64", "", "", CPU_ARCH::UNKNOWN,
         "ERROR: Unsupported OS ID: 'fedora'"},
        {"no id", "VERSION_ID=22.04\nID_LIKE=debian\n", "x86_64", "", "", CPU_ARCH::UNKNOWN,
         "ERROR: Failed to get OS ID from /etc/os-release"},
        {"armv7l", "ID=ubuntu\nVERSION_ID=\"22.04\"\n", "armv7l", "Ubuntu", "22.04", CPU_ARCH::UNKNOWN, ""},
    };
    for (const auto& c : cases) {
        LogCapture log;
        FakeMachine machine;
        machine.osRelease(c.osRelease);
        machine.architecture(c.machine);
        const MachineInfo info;
        EXPECT_EQ(info.getOSName(), c.osName) << c.name;
        EXPECT_EQ(info.getOSVersion(), c.osVersion) << c.name;
        EXPECT_EQ(info.getCPUArchitecture(), c.architecture) << c.name;
        if (!c.logLine.empty()) {
            EXPECT_TRUE(log.contains(c.logLine)) << c.name;
        }
    }
}

TEST(MachineInfoTest, MissingFilesAndToolsLeaveTheFieldsEmpty) {
    LogCapture log;
    FakeMachine machine;
    const MachineInfo unreadable;
    EXPECT_EQ(unreadable.getOSName(), "");
    EXPECT_EQ(unreadable.getCPUArchitecture(), CPU_ARCH::UNKNOWN);
    EXPECT_TRUE(log.contains("ERROR: Failed to get OS name and version"));

    machine.ubuntu("22.04");
    const MachineInfo withoutUname;
    EXPECT_EQ(withoutUname.getOSName(), "Ubuntu");
    EXPECT_EQ(withoutUname.getCPUArchitecture(), CPU_ARCH::UNKNOWN);
}

TEST(RuntimeInfoTest, LinksFollowTheTemplate) {
    struct Case {
        const char* storage;
        std::string chip;
        CPU_ARCH architecture;
        std::string osName, osVersion, driver;
        std::string expected;
    };
    const std::string store = "https://artifacts.corvane.cloud/artifactory/vekai_open/OAAX/runtimes/2.0.0/";
    const Case cases[] = {
        {"", "CPU", CPU_ARCH::X86_64, "Ubuntu", "", "", store + "CPU/x86_64/Ubuntu/library.tar.gz"},
        {"", "DEEPX", CPU_ARCH::X86_64, "Ubuntu", "22.04", "dxrt-v3.3.2",
         store + "DEEPX/x86_64/Ubuntu/22.04/library-dxrt-v3.3.2.tar.gz"},
        {"", "HAILO", CPU_ARCH::AARCH64, "Ubuntu", "", "4.20.0",
         store + "HAILO/aarch64/Ubuntu/library-4.20.0.tar.gz"},
        {"", "NVIDIA_TRT", CPU_ARCH::AARCH64_JETSON, "Ubuntu", "22.04", "trt10-cuda_12",
         store + "NVIDIA_TRT/aarch64-jetson/Ubuntu/22.04/library-trt10-cuda_12.tar.gz"},
        {"http://127.0.0.1:8080/store", "CPU", CPU_ARCH::X86_64, "Ubuntu", "", "",
         "http://127.0.0.1:8080/store/CPU/x86_64/Ubuntu/library.tar.gz"},
        {"http://127.0.0.1:8080/store/", "CPU", CPU_ARCH::X86_64, "Ubuntu", "", "",
         "http://127.0.0.1:8080/store/CPU/x86_64/Ubuntu/library.tar.gz"},
        {"http://h/s", "Odd Chip", CPU_ARCH::UNKNOWN, "", "", "",
         "http://h/s/Odd Chip/UNKNOWN//library.tar.gz"},
    };
    for (const auto& c : cases) {
        ConfigOverride config;
        config.setStorage(c.storage);
        const RuntimeInfo runtime(c.chip, c.architecture, c.osName, c.osVersion, c.driver);
        EXPECT_EQ(runtime.downloadLink, c.expected);
        EXPECT_TRUE(runtime.supportedMimeTypes.empty());
    }
}

TEST(RuntimeInfoTest, MimeTypesMatchExactlyOrWhenNoneIsAsked) {
    RuntimeInfo runtime;
    EXPECT_EQ(runtime.downloadLink, "");
    EXPECT_TRUE(runtime.supportsMimeTypes(""));
    EXPECT_FALSE(runtime.supportsMimeTypes("application/x-onnx"));
    runtime.supportedMimeTypes = {"application/x-onnx", "application/x-other"};
    EXPECT_TRUE(runtime.supportsMimeTypes("application/x-other"));
    EXPECT_FALSE(runtime.supportsMimeTypes("application/X-ONNX"));
    EXPECT_FALSE(runtime.supportsMimeTypes("application/x-onnx "));
}

TEST(ChipInfoTest, RuntimeLookupsAndTheirFailures) {
    LogCapture log;
    ChipInfo chip(CPU_ARCH::X86_64);
    RuntimeInfo onnx;
    onnx.downloadLink = "http://h/a.tar.gz";
    onnx.supportedMimeTypes = {"application/x-onnx"};
    chip.addRuntime("B runtime", onnx);
    RuntimeInfo second = onnx;
    second.downloadLink = "http://h/second.tar.gz";
    chip.addRuntime("B runtime", second);
    chip.addRuntime("A runtime", RuntimeInfo());

    EXPECT_EQ(chip.getPossibleRuntimeNames(""), (std::vector<std::string>{"A runtime", "B runtime"}));
    EXPECT_EQ(chip.getPossibleRuntimeNames("application/x-onnx"), std::vector<std::string>{"B runtime"});
    EXPECT_TRUE(chip.getPossibleRuntimeNames("application/x-dxnn").empty());

    EXPECT_EQ(chip.getDownloadLink("B runtime"), "http://h/a.tar.gz");
    EXPECT_TRUE(log.contains("Download link: http://h/a.tar.gz (mimetype: application/x-onnx)\n"));
    EXPECT_EQ(chip.getDownloadLink("C runtime"), "");
    EXPECT_TRUE(log.contains("ERROR: Runtime C runtime not found 1\n"));

    EXPECT_EQ(chip.getSupportedMIMEType("B runtime"), "application/x-onnx");
    EXPECT_EQ(chip.getSupportedMIMEType("C runtime"), "");
    EXPECT_TRUE(log.contains("ERROR: Runtime C runtime not found 2\n"));
    EXPECT_EQ(chip.getSupportedMIMEType("A runtime"), "");
    EXPECT_TRUE(log.contains("ERROR: No supported mime types found for the runtime\n"));
}

TEST(ChipInfoTest, SummaryOnlyForDetectedChips) {
    LogCapture log;
    ChipInfo chip(CPU_ARCH::X86_64);
    chip.chipName = "HAILO";
    chip.printSummary();
    EXPECT_FALSE(log.contains("Chip name:"));
    chip.chipDetected = true;
    chip.numberOfChips = 2;
    chip.apiVersion = "4.20.0";
    chip.printSummary();
    EXPECT_TRUE(
        log.contains("Chip name: HAILO, Chip detected: 1, Correctly installed: 0, Number of chips: 2, API "
                     "version: 4.20.0\n"));
}

}  // namespace
