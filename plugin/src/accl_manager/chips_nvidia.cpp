#include <rapidjson/document.h>

#include <cctype>
#include <charconv>
#include <filesystem>
#include <fstream>
#include <limits>
#include <optional>
#include <sstream>
#include <stdexcept>

#include "accl_manager/chips.h"
#include "accl_manager/utils.h"
#include "ini_manager.h"
#include "messaging_manager.h"
#include "utils/bounded_json.h"
#include "vekai_utilities/vekai_utils.h"

namespace {

constexpr const char* kNoticeKey = "NVIDIA_GPU_SDK";
constexpr const char* kNvidiaUnavailableMessage =
    "NVIDIA GPU acceleration is unavailable on this machine. A different compatible runtime will be used if "
    "available. To enable NVIDIA acceleration, follow the setup instructions in the ";
constexpr const char* kX86Fragment = "#x86_64-ubuntu";
constexpr const char* kServerFragment = "#aarch64-server";
constexpr const char* kCudaCompatibilityUrl = "https://docs.nvidia.com/deploy/cuda-compatibility/";
constexpr const char* kCudaGpusUrl = "https://developer.nvidia.com/cuda-gpus";
constexpr const char* kCudaDownloadArchiveUrl = "https://developer.nvidia.com";
constexpr const char* kComputeCapabilityCommand = "nvidia-smi --query-gpu=compute_cap --format=csv,noheader";

struct ComputeCapabilitySupport {
    int lowestCapability;
    int highestCapability;
    int lowestCudaMajor;
    int highestCudaMajor;
};
constexpr int kNoUpperBound = std::numeric_limits<int>::max();
constexpr ComputeCapabilitySupport kComputeCapabilitySupport[] = {
    {35, 37, 11, 11},
    {50, 72, 11, 12},
    {75, 89, 11, kNoUpperBound},
    {90, 90, 11, kNoUpperBound},
    {100, 121, 12, kNoUpperBound},
};
constexpr int kLowestSupportedCapability = 35;

std::string nvidiaDocsLink(const std::string& fragment) {
    return Utils::htmlLink(
        std::string(Utils::DOCUMENTATION_URL) + "/corvane/accelerators/nvidia_support" + fragment,
        "documentation");
}

void postNotice(MessagingManager& messages, const std::string& text) {
    messages.addMessage(kNoticeKey, text, MESSAGE_TYPE::INFO);
}

void postUnavailable(MessagingManager& messages, const std::string& fragment) {
    postNotice(messages, kNvidiaUnavailableMessage + nvidiaDocsLink(fragment));
}

std::string withoutCharacters(const std::string& text, bool (*drop)(char)) {
    std::string kept;
    for (char c : text) {
        if (!drop(c))
            kept += c;
    }
    return kept;
}

bool isSpace(char c) {
    return std::isspace(static_cast<unsigned char>(c)) != 0;
}

std::string firstLine(const std::string& text) {
    return text.substr(0, text.find('\n'));
}

std::optional<int> parseWholeNumber(const std::string& text) {
    int value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size() || text.empty())
        return std::nullopt;
    return value;
}

std::string cudaFamilyTag(const std::string& version) {
    if (version.size() < 2)
        return {};
    const std::string major = version.substr(0, 2);
    if (major == "11" || major == "12" || major == "13")
        return "cuda_" + major;
    return {};
}

std::string cudaDownloadArchiveLink(std::string maxSupported) {
    Utils::replaceAll(maxSupported, ".", "-");
    return std::string(kCudaDownloadArchiveUrl) + "/cuda-" + maxSupported +
           "-0-download-archive?target_os=Linux&target_arch=x86_64";
}

// Jetson boards and aarch64 servers with an NVIDIA GPU.
void probeAarch64(NvidiaChipInfo& chip, const std::string& osName, const std::string& osVersion,
                  MessagingManager& messages) {
    if (Utils::runShellCommand("dpkg-query --showformat='${Version}' --show nvidia-l4t-core").first == 0) {
        chip.chipDetected = true;
        std::string toolkitVersion;
        const std::string tag = readCudaVersion(toolkitVersion);
        chip.cudaToolkitVersion = toolkitVersion;
        if (tag.empty()) {
            vekai_vlog("Failed to read CUDA version on Jetson.\n");
            return;
        }
        chip.apiVersion = tag;
        if (!checkCudaDriverCompatibility(chip, messages, queryMaxSupportedCudaVersion()))
            return;
        chip.cpuArchitecture = CPU_ARCH::AARCH64_JETSON;
        chip.numberOfChips = 1;
        chip.computeCapability = queryComputeCapSM();
        chip.tensorRTVersion = queryTRTVersion();
        chip.correctlyInstalled = true;
        return;
    }

    if (!hasNvidiaGPU()) {
        vekai_vlog("NVIDIA GPU not found on aarch64.\n");
        return;
    }
    if (osName != "Ubuntu" || osVersion != "24.04") {
        vekai_vlog("NVIDIA aarch64 server acceleration requires Ubuntu 24.04 (detected: %s %s).\n",
                   osName.c_str(), osVersion.c_str());
        postNotice(
            messages,
            "NVIDIA GPU acceleration on aarch64 servers requires Ubuntu 24.04. Please upgrade your OS to "
            "Ubuntu 24.04 to use this feature.");
        return;
    }
    if (Utils::runShellCommand("nvidia-smi").first != 0) {
        vekai_vlog("nvidia-smi not found or not working properly on aarch64 server.\n");
        postUnavailable(messages, kServerFragment);
        return;
    }
    chip.chipDetected = true;

    const auto [capabilityStatus, capabilityOutput] = Utils::runShellCommand(kComputeCapabilityCommand);
    if (capabilityStatus != 0) {
        vekai_vlog("Failed to query GPU compute capability.\n");
        postUnavailable(messages, kServerFragment);
        return;
    }
    // One line per GPU: a multi-GPU server is judged by its first GPU, as on x86_64.
    const std::string capability = withoutCharacters(firstLine(capabilityOutput), isSpace);
    if (capability != "10.0" && capability != "12.0" && capability != "12.1") {
        vekai_vlog("Unsupported GPU compute capability: %s (supported: 10.0, 12.0, 12.1).\n",
                   capability.c_str());
        postNotice(
            messages,
            "Your NVIDIA GPU is not supported for aarch64 server acceleration. Only Blackwell server GPUs "
            "(SM 10.0, 12.0, 12.1) are supported.");
        return;
    }

    std::string toolkitVersion;
    const std::string tag = readCudaVersion(toolkitVersion);
    chip.cudaToolkitVersion = toolkitVersion;
    if (tag != "cuda_13") {
        vekai_vlog("CUDA 13.x required for aarch64 server acceleration (found: %s).\n", tag.c_str());
        postNotice(
            messages,
            "CUDA 13.x is required for NVIDIA aarch64 server acceleration. Please install CUDA 13.1 or later "
            "and restart the server.");
        return;
    }
    chip.apiVersion = tag;
    if (!checkCudaDriverCompatibility(chip, messages, queryMaxSupportedCudaVersion()))
        return;
    chip.cpuArchitecture = CPU_ARCH::AARCH64_SBSA;
    chip.numberOfChips = 1;
    chip.computeCapability = withoutCharacters(capability, [](char c) { return c == '.'; });
    chip.tensorRTVersion = queryTRTVersion();
    chip.correctlyInstalled = true;
}

void probeX86(NvidiaChipInfo& chip, MessagingManager& messages) {
    if (!hasNvidiaGPU()) {
        vekai_vlog("NVIDIA GPU not found.\n");
        return;
    }
    if (Utils::runShellCommand("nvidia-smi").first != 0) {
        vekai_vlog("nvidia-smi not found or not working properly.\n");
        postUnavailable(messages, kX86Fragment);
        return;
    }
    chip.chipDetected = true;

    const std::string maxSupported = queryMaxSupportedCudaVersion();
    vekai_vlog("Max supported CUDA version: %s\n", maxSupported.c_str());
    if (maxSupported.empty()) {
        vekai_vlog("Failed to extract the max supported CUDA version from the nvidia-smi output.\n");
        postUnavailable(messages, kX86Fragment);
        return;
    }

    std::string toolkitVersion;
    const std::string tag = readCudaVersion(toolkitVersion);
    chip.cudaToolkitVersion = toolkitVersion;
    if (tag.empty()) {
        vekai_vlog("CUDA version not found in the /usr/local/cuda/version.json file.\n");
        vekai_vlog("You can download and install the CUDA Toolkit from the following URL: %s\n",
                   cudaDownloadArchiveLink(maxSupported).c_str());
        vekai_vlog("Once the installation is complete, please restart the server.\n");
        postUnavailable(messages, kX86Fragment);
        return;
    }
    chip.apiVersion = tag;
    if (!checkCudaDriverCompatibility(chip, messages, maxSupported))
        return;

    const std::string capability = queryComputeCapSM();
    if (!capability.empty()) {
        const auto value = parseWholeNumber(capability);
        const int cudaMajor = std::stoi(tag.substr(std::string("cuda_").size()));
        if (value && !isComputeCapabilitySupported(*value, cudaMajor)) {
            vekai_vlog(
                "GPU compute capability (SM %s) is not compatible with the installed CUDA Toolkit (%s).\n",
                capability.c_str(), tag.c_str());
            postNotice(messages,
                       "Your GPU's compute capability is not compatible with the installed CUDA Toolkit (" +
                           tag + "). Please install a CUDA Toolkit version supported by your GPU. See " +
                           Utils::htmlLink(kCudaGpusUrl, kCudaGpusUrl) +
                           " for the supported compute capabilities per CUDA version.");
            return;
        }
    }
    chip.computeCapability = capability;

    const auto [countStatus, countOutput] =
        Utils::runShellCommand("nvidia-smi --query-gpu=count --format=csv,noheader");
    std::optional<int> count;
    if (countStatus == 0) {
        try {
            count = std::stoi(countOutput);
        } catch (const std::logic_error&) {
            // Not a number: no more usable than a failing command.
        }
    }
    if (!count) {
        vekai_vlog("The number of NVIDIA GPUs cannot be determined.\n");
        postUnavailable(messages, kX86Fragment);
        return;
    }
    chip.numberOfChips = *count;
    chip.tensorRTVersion = queryTRTVersion();
    chip.correctlyInstalled = true;
}

void registerRuntimes(NvidiaChipInfo& chip, const std::string& osName, const std::string& osVersion) {
    RuntimeInfo onnx("NVIDIA_ORT", chip.cpuArchitecture, osName, "", chip.apiVersion);
    onnx.supportedMimeTypes = {"application/x-onnx"};
    chip.addRuntime(RuntimeNames::ONNX_CUDA, std::move(onnx));

    if (!ini().enableNvidiaTRTIntegration || chip.apiVersion == "cuda_11")
        return;
    std::string packageOsVersion;
    if (chip.cpuArchitecture == CPU_ARCH::AARCH64_SBSA)
        packageOsVersion = "24.04";
    else if (chip.cpuArchitecture == CPU_ARCH::AARCH64_JETSON)
        packageOsVersion = "22.04";
    else if (chip.cpuArchitecture == CPU_ARCH::X86_64 && osName == "Ubuntu" && osVersion == "22.04")
        packageOsVersion = "22.04";
    else
        return;
    if (chip.computeCapability.empty() || chip.tensorRTVersion.empty()) {
        vekai_vlog("TRT runtime skipped: SM or TRT version could not be determined.\n");
        return;
    }
    RuntimeInfo tensorRT("NVIDIA_TRT", chip.cpuArchitecture, osName, packageOsVersion,
                         "trt" + chip.tensorRTVersion + "-" + chip.apiVersion);
    tensorRT.supportedMimeTypes = {
        "application/x-tensorrt; arch=" + Utils::CPUArchitectureToString(chip.cpuArchitecture) +
        "; sm=" + chip.computeCapability + "; trt=" + chip.tensorRTVersion};
    chip.addRuntime(RuntimeNames::NVIDIA_TRT, std::move(tensorRT));
}

}  // namespace

NvidiaChipInfo::NvidiaChipInfo(CPU_ARCH architecture, const std::string& osName, const std::string& osVersion,
                               MessagingManager& messages)
    : ChipInfo(architecture) {
    chipName = "NVIDIA";
    vekai_vlog("Checking for supported Nvidia chips\n");
    if (architecture == CPU_ARCH::AARCH64)
        probeAarch64(*this, osName, osVersion, messages);
    else if (architecture == CPU_ARCH::X86_64)
        probeX86(*this, messages);
    if (correctlyInstalled)
        registerRuntimes(*this, osName, osVersion);
}

bool hasNvidiaGPU() {
    std::error_code failure;
    std::filesystem::directory_iterator devices(Utils::systemPath("/sys/bus/pci/devices/"), failure);
    if (failure)
        return false;
    for (const auto& device : devices) {
        std::string vendor;
        std::string deviceClass;
        std::ifstream(device.path() / "vendor") >> vendor;
        std::ifstream(device.path() / "class") >> deviceClass;
        if (vendor == "0x10de" && deviceClass.rfind("0x03", 0) == 0)
            return true;
    }
    return false;
}

std::string extractXmlTagValue(const std::string& xml, const std::string& tag) {
    const std::string opening = "<" + tag + ">";
    const size_t start = xml.find(opening);
    if (start == std::string::npos)
        return {};
    const size_t valueStart = start + opening.size();
    const size_t end = xml.find("</" + tag + ">", valueStart);
    if (end == std::string::npos)
        return {};
    return xml.substr(valueStart, end - valueStart);
}

std::string queryMaxSupportedCudaVersion() {
    const auto [status, output] = Utils::runShellCommand("nvidia-smi -q -x");
    if (status != 0)
        return {};
    const std::string umdVersion = extractXmlTagValue(output, "cuda_umd_version");
    return umdVersion.empty() ? extractXmlTagValue(output, "cuda_version") : umdVersion;
}

std::string readCudaVersion(std::string& version) {
    std::ifstream file(Utils::systemPath("/usr/local/cuda/version.json"));
    if (!file)
        return {};
    std::stringstream content;
    content << file.rdbuf();
    rapidjson::Document document;
    Utils::parseBoundedJson(document, content.str());
    if (document.HasParseError() || !document.IsObject()) {
        vekai_vlog("Failed to read the cuda version.\n");
        return {};
    }
    const auto cuda = document.FindMember("cuda");
    if (cuda == document.MemberEnd() || !cuda->value.IsObject()) {
        vekai_vlog("Failed to read the cuda version.\n");
        return {};
    }
    const auto versionMember = cuda->value.FindMember("version");
    if (versionMember == cuda->value.MemberEnd() || !versionMember->value.IsString()) {
        vekai_vlog("Failed to read the cuda version.\n");
        return {};
    }
    version = versionMember->value.GetString();
    const std::string tag = cudaFamilyTag(version);
    if (tag.empty())
        vekai_vlog("Cuda version not supported.\n");
    return tag;
}

std::string truncateToMajorMinor(const std::string& version) {
    const size_t first = version.find('.');
    if (first == std::string::npos)
        return version;
    const size_t second = version.find('.', first + 1);
    return second == std::string::npos ? version : version.substr(0, second);
}

bool checkCudaDriverCompatibility(NvidiaChipInfo& chip, MessagingManager& messages,
                                  const std::string& maxSupported) {
    if (chip.cudaToolkitVersion.empty() || maxSupported.empty())
        return true;
    try {
        if (Utils::compare_version(truncateToMajorMinor(chip.cudaToolkitVersion),
                                   truncateToMajorMinor(maxSupported)) <= 0)
            return true;
    } catch (const std::logic_error&) {
        return true;
    }
    vekai_vlog(
        "Installed CUDA Toolkit (%s) exceeds the maximum CUDA version supported by the installed NVIDIA "
        "driver "
        "(%s).\n",
        chip.cudaToolkitVersion.c_str(), maxSupported.c_str());
    postNotice(messages,
               "Your installed CUDA Toolkit (" + chip.cudaToolkitVersion +
                   ") is newer than what your NVIDIA driver supports (up to CUDA " + maxSupported +
                   "). Please update your NVIDIA driver or install a CUDA Toolkit version it supports. "
                   "See " +
                   Utils::htmlLink(kCudaCompatibilityUrl, kCudaCompatibilityUrl) +
                   " for details on CUDA Toolkit and driver compatibility.");
    return false;
}

bool isComputeCapabilitySupported(int computeCapability, int cudaMajor) {
    if (computeCapability < kLowestSupportedCapability)
        return false;
    for (const auto& row : kComputeCapabilitySupport) {
        if (computeCapability >= row.lowestCapability && computeCapability <= row.highestCapability)
            return cudaMajor >= row.lowestCudaMajor && cudaMajor <= row.highestCudaMajor;
    }
    return true;
}

std::string queryComputeCapSM() {
    const auto [status, output] = Utils::runShellCommand(kComputeCapabilityCommand);
    if (status != 0)
        return {};
    return withoutCharacters(firstLine(output), [](char c) { return isSpace(c) || c == '.'; });
}

std::string queryTRTVersion() {
    const auto [status, output] =
        Utils::runShellCommand("dpkg-query --showformat='${Version}' --show libnvinfer-bin 2>/dev/null");
    if (status != 0)
        return {};
    const std::string version = withoutCharacters(output, isSpace);
    return version.substr(0, version.find('.'));
}
