// A machine described by the test: fixture copies of the system files the probes read, and fake
// vendor tools first on PATH that print recorded outputs, so that no probe reaches the real system.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "accl_manager/utils.h"
#include "ini_manager.h"
#include "vekai_utilities/vekai_utils.h"

#include <vektest/files.h>
#include <vektest/log_capture.h>
#include <vektest/temp_dir.h>

namespace acceltest {

using ScratchDir = vektest::TempDir;
using vektest::LogCapture;
using vektest::readText;
using vektest::writeText;

// Restores the configuration switches a test changes.
class ConfigOverride {
public:
    ConfigOverride()
        : trt(ini().enableNvidiaTRTIntegration),
          cache(ini().cacheRuntimeArchives),
          storage(ini().RuntimesStorageURL) {}
    ~ConfigOverride() {
        ini().enableNvidiaTRTIntegration = trt;
        ini().cacheRuntimeArchives = cache;
        ini().RuntimesStorageURL = storage;
    }
    void setStorage(const std::string& url) {
        storageText = url;
        ini().RuntimesStorageURL = storageText.c_str();
    }

private:
    bool trt;
    bool cache;
    const char* storage;
    std::string storageText;
};

class FakeMachine {
public:
    // Every tool a probe may run; each fails as if it were not installed until a test gives it answers.
    static inline const std::vector<std::string> kTools = {
        "ldd", "ldconfig", "uname", "ls", "nvidia-smi", "dpkg-query", "hailortcli", "dxrt-cli"};

    FakeMachine() {
        const char* path = getenv("PATH");
        savedPath = path != nullptr ? path : "";
        const char* root = getenv(Utils::kSystemRootVariable);
        savedRoot = root != nullptr ? std::optional<std::string>(root) : std::nullopt;
        std::filesystem::create_directories(rootDir());
        std::filesystem::create_directories(binDir());
        for (const auto& tool : kTools)
            writeTool(tool);
        setenv("PATH", (binDir().string() + ":/usr/bin:/bin").c_str(), 1);
        setenv(Utils::kSystemRootVariable, rootDir().c_str(), 1);
    }
    ~FakeMachine() {
        setenv("PATH", savedPath.c_str(), 1);
        if (savedRoot)
            setenv(Utils::kSystemRootVariable, savedRoot->c_str(), 1);
        else
            unsetenv(Utils::kSystemRootVariable);
    }
    FakeMachine(const FakeMachine&) = delete;
    FakeMachine& operator=(const FakeMachine&) = delete;

    std::filesystem::path rootDir() const { return scratch.path / "root"; }
    std::filesystem::path binDir() const { return scratch.path / "bin"; }

    // A system file, by its absolute path on a real machine.
    void file(const std::string& absolutePath, const std::string& content) {
        writeText(rootDir().string() + absolutePath, content);
    }

    // `arguments` is the tool's argument list joined by spaces, or "*" for any; a later answer to the
    // same arguments replaces the earlier one.
    void tool(const std::string& name, const std::string& arguments, const std::string& output,
              int exitCode = 0) {
        auto& known = answers[name];
        std::erase_if(known, [&](const Answer& answer) { return answer.arguments == arguments; });
        known.push_back({arguments, output, exitCode});
        writeTool(name);
    }

    // A program of that name ahead of the system's own, run with its arguments.
    void script(const std::string& name, const std::string& body) {
        const auto path = binDir() / name;
        writeText(path, "#!/bin/sh\n" + body + "\n");
        chmod(path.c_str(), 0755);
    }

    // --- Building blocks of the machines in the tests ---

    void osRelease(const std::string& content) { file("/etc/os-release", content); }
    void ubuntu(const std::string& version) {
        osRelease("NAME=\"Ubuntu\"\nVERSION_ID=\"" + version + "\"\nID=ubuntu\nID_LIKE=debian\n");
    }
    void architecture(const std::string& machine) { tool("uname", "-m", machine + "\n"); }
    void cpuFlags(bool avx2) {
        file("/proc/cpuinfo", std::string("processor\t: 0\nflags\t\t: fpu sse sse2 ") +
                                  (avx2 ? "avx avx2 " : "avx ") + "bmi1\n\nprocessor\t: 1\n");
    }
    void libraries(const std::vector<std::string>& names) {
        std::string cache = std::to_string(names.size()) + " libs found in cache `/etc/ld.so.cache'\n";
        for (const auto& name : names)
            cache += "\t" + name + " (libc6,x86-64) => /lib/x86_64-linux-gnu/" + name + "\n";
        tool("ldconfig", "-p", cache);
    }
    void libc(const std::string& version) {
        tool("ldd", "--version", "ldd (Ubuntu GLIBC) " + version + "\nCopyright\n");
    }

    // A usable x86_64 or aarch64 Ubuntu machine: AVX2 where it matters, libgomp, libc 2.35.
    void baseMachine(const std::string& machine = "x86_64", const std::string& version = "22.04") {
        ubuntu(version);
        architecture(machine);
        cpuFlags(true);
        libraries({"libgomp.so.1"});
        libc("2.35");
    }

    void pciDevice(const std::string& slot, const std::string& vendor, const std::string& deviceClass) {
        file("/sys/bus/pci/devices/" + slot + "/vendor", vendor + "\n");
        file("/sys/bus/pci/devices/" + slot + "/class", deviceClass + "\n");
    }
    void nvidiaGpu() {
        pciDevice("0000:00:02.0", "0x8086", "0x030000");
        pciDevice("0000:01:00.0", "0x10de", "0x030000");
    }
    void nvidiaSmi(const std::string& maxCuda, const std::string& computeCapability,
                   const std::string& count = "1") {
        tool("nvidia-smi", "", "NVIDIA-SMI 560.35.03\n");
        tool("nvidia-smi", "-q -x",
             "<?xml version=\"1.0\" ?>\n<nvidia_smi_log>\n\t<driver_version>560.35.03</driver_version>\n"
             "\t<cuda_version>" +
                 maxCuda + "</cuda_version>\n</nvidia_smi_log>\n");
        tool("nvidia-smi", "--query-gpu=compute_cap --format=csv,noheader", computeCapability + "\n");
        tool("nvidia-smi", "--query-gpu=count --format=csv,noheader", count + "\n");
    }
    void cudaToolkit(const std::string& version) {
        file("/usr/local/cuda/version.json",
             "{\n   \"cuda\" : {\n      \"name\" : \"CUDA SDK\",\n      \"version\" : \"" + version +
                 "\"\n   }\n}\n");
    }
    void tensorRT(const std::string& packageVersion) {
        tool("dpkg-query", "--showformat=${Version} --show libnvinfer-bin", packageVersion);
    }
    void jetson() {
        tool("dpkg-query", "--showformat=${Version} --show nvidia-l4t-core", "36.4.3-20250107174145");
    }
    void hailo(int devices, const std::string& version, const std::string& architectureName) {
        for (int i = 0; i < devices; ++i)
            file("/sys/class/hailo_chardev/hailo" + std::to_string(i), "");
        tool("hailortcli", "-v", "HailoRT-CLI version " + version + "\n");
        tool("hailortcli", "fw-control identify",
             "Executing on device: 0000:02:00.0\nIdentifying board\nControl Protocol Version: 2\n"
             "Firmware Version: " +
                 version +
                 " (release,app,extended context switch buffer)\nLogger Version: 0\nBoard Name: Hailo-8\n"
                 "Device Architecture: " +
                 architectureName + "\nSerial Number: N/A\n");
    }
    void deepxDevices(int devices) {
        std::string listing;
        for (int i = 0; i < devices; ++i)
            listing += "/dev/dxrt" + std::to_string(i) + "\n";
        tool("ls", "*", listing);
    }
    void deepx(int devices, const std::string& version) {
        deepxDevices(devices);
        tool("dxrt-cli", "-i",
             "DXRT v" + version +
                 "\n=======================================================\n * Device 0: M1, Accelerator "
                 "type\n");
    }

private:
    struct Answer {
        std::string arguments;
        std::string output;
        int exitCode;
    };

    void writeTool(const std::string& name) {
        std::string body = "case \"$*\" in\n";
        int index = 0;
        for (const auto& answer : answers[name]) {
            const auto outputFile = scratch.path / "outputs" / (name + "." + std::to_string(index++));
            writeText(outputFile, answer.output);
            body += "  " +
                    (answer.arguments == "*" ? std::string("*") : Utils::shellQuote(answer.arguments)) +
                    ") cat " + Utils::shellQuote(outputFile.string()) + "; exit " +
                    std::to_string(answer.exitCode) + " ;;\n";
        }
        body += "  *) echo \"" + name + ": not found\" >&2; exit 127 ;;\nesac";
        script(name, body);
    }

    ScratchDir scratch{"vek-machine"};
    std::string savedPath;
    std::optional<std::string> savedRoot;
    std::map<std::string, std::vector<Answer>> answers;
};

}  // namespace acceltest
