// The machine description and the runtime catalogue records: CPU architectures, the operating
// system, installable runtime packages with their links and MIME types, and per-chip records.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

enum class CPU_ARCH : int32_t {
    UNKNOWN = 0,
    AARCH64 = 1,
    AARCH64_JETSON = 2,
    AARCH64_SBSA = 3,
    X86_64 = 4,
};

namespace Utils {
std::string CPUArchitectureToString(CPU_ARCH architecture);
}

namespace RuntimeNames {
inline constexpr const char* VEK_CPU = "Generic CPU";
inline constexpr const char* NATIVE_INTEL_FP32 = "Intel";
inline constexpr const char* ONNX_HAILORT = "Hailo";
inline constexpr const char* DEEPX = "DEEPX";
inline constexpr const char* ONNX_CUDA = "NVIDIA";
inline constexpr const char* NVIDIA_TRT = "NVIDIA TensorRT";
}  // namespace RuntimeNames

// The operating system and CPU architecture, read once. Every supported distribution is presented
// under the name "Ubuntu"; an unsupported or unreadable one leaves the name empty.
class MachineInfo {
public:
    MachineInfo();

    std::string getOSName() const { return osName; }
    std::string getOSVersion() const { return osVersion; }
    CPU_ARCH getCPUArchitecture() const { return cpuArchitecture; }

private:
    std::string osName;
    std::string osVersion;
    CPU_ARCH cpuArchitecture = CPU_ARCH::UNKNOWN;
};

// One installable runtime package: where to download it and the model formats it accepts, the
// first being its primary MIME type.
struct RuntimeInfo {
    RuntimeInfo() = default;
    // Builds the link from the configured store (or the default one) and the link template.
    RuntimeInfo(const std::string& chipName, CPU_ARCH architecture, const std::string& osName,
                const std::string& osVersion, const std::string& driverVersion);

    // True for an empty MIME type or one of the supported ones.
    bool supportsMimeTypes(const std::string& mimeType) const;

    std::string downloadLink;
    std::vector<std::string> supportedMimeTypes;
};

// What a probe found for one accelerator family, and the runtimes it offers.
class ChipInfo {
public:
    explicit ChipInfo(CPU_ARCH architecture) : cpuArchitecture(architecture) {}

    // A name already present keeps its first registration.
    void addRuntime(const std::string& name, RuntimeInfo runtime);
    std::vector<std::string> getPossibleRuntimeNames(const std::string& mimeType) const;
    std::string getDownloadLink(const std::string& runtimeName) const;
    std::string getSupportedMIMEType(const std::string& runtimeName) const;
    void printSummary() const;

    std::map<std::string, RuntimeInfo> runtimes;
    CPU_ARCH cpuArchitecture;
    std::string chipName;
    std::string apiVersion;
    bool chipDetected = false;
    bool correctlyInstalled = false;
    int32_t numberOfChips = 0;
};
