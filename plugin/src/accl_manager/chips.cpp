#include "accl_manager/chips.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <filesystem>
#include <regex>
#include <stdexcept>

#include "accl_manager/utils.h"
#include "messaging_manager.h"
#include "vekai_utilities/vekai_utils.h"

namespace {

constexpr std::array kSupportedHailoVersions = {"4.17.0", "4.18.0", "4.19.0", "4.20.0"};
constexpr std::array kSupportedDEEPXVersions = {"3.3.2"};
constexpr int kMinimumLibcMajor = 2;
constexpr int kMinimumLibcMinor = 30;

void trimTrailingSpace(std::string& text) {
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back())))
        text.pop_back();
}

// The first capture group of every match, in output order.
std::vector<std::string> captures(const std::string& text, const std::regex& pattern) {
    std::vector<std::string> found;
    for (auto it = std::sregex_iterator(text.begin(), text.end(), pattern); it != std::sregex_iterator();
         ++it)
        found.push_back((*it)[1].str());
    return found;
}

}  // namespace

CPUChipInfo::CPUChipInfo(CPU_ARCH architecture, const std::string& osName, const std::string&)
    : ChipInfo(architecture) {
    chipName = "CPU";
    vekai_vlog("Checking for supported CPU\n");
    lookupCPUChipInfo(*this);
    if (!correctlyInstalled)
        return;
    RuntimeInfo runtime(chipName, cpuArchitecture, osName, "", "");
    runtime.supportedMimeTypes = {"application/x-onnx"};
    addRuntime(RuntimeNames::VEK_CPU, std::move(runtime));
}

void lookupCPUChipInfo(CPUChipInfo& chip) {
    chip.chipDetected = false;
    vekai_vlog("Checking for supported Libc versions\n");
    chip.chipDetected = true;
    chip.correctlyInstalled = true;
    chip.numberOfChips = 1;

    std::vector<int> numbers;
    const auto [status, output] = Utils::runShellCommand("ldd --version | head -n 1");
    if (status == 0) {
        const size_t lastSpace = output.rfind(' ');
        std::string version = lastSpace == std::string::npos ? output : output.substr(lastSpace + 1);
        bool complete = true;
        for (const auto& piece : Utils::split(version, '.')) {
            try {
                numbers.push_back(std::stoi(piece));
            } catch (const std::logic_error&) {
                vekai_vlog("Warning: Failed to get the libc version.\n");
                complete = false;
                break;
            }
        }
        if (complete) {
            trimTrailingSpace(version);
            chip.apiVersion = version;
        }
    }

    if (numbers.empty()) {
        vekai_vlog("Warning: Couldn't read the libc version.\n");
        chip.correctlyInstalled = false;
        return;
    }
    const int major = numbers[0];
    const int minor = numbers.size() > 1 ? numbers[1] : 0;
    if (major < kMinimumLibcMajor || (major == kMinimumLibcMajor && minor < kMinimumLibcMinor)) {
        vekai_vlog("Warning: The libc version is lower than the required version: 2.30\n");
        chip.correctlyInstalled = false;
    }
}

IntelChipInfo::IntelChipInfo(CPU_ARCH architecture, const std::string& osName, const std::string&,
                             MessagingManager& messages)
    : ChipInfo(architecture) {
    chipName = "INTEL";
    vekai_vlog("Checking for supported Intel chips\n");
    if (architecture != CPU_ARCH::X86_64)
        return;
    lookupIntelChipInfo(*this, messages);
    if (!correctlyInstalled)
        return;
    RuntimeInfo runtime(chipName, cpuArchitecture, osName, "", "");
    runtime.supportedMimeTypes = {std::string("application/zip; device=intel; precision=") + "fp32"};
    addRuntime(RuntimeNames::NATIVE_INTEL_FP32, std::move(runtime));
}

void lookupIntelChipInfo(IntelChipInfo& chip, MessagingManager& messages) {
    chip.chipDetected = false;
    chip.correctlyInstalled = false;
    if (Utils::is_library_installed("libOpenCL.so")) {
        chip.chipDetected = true;
        chip.correctlyInstalled = true;
        chip.numberOfChips = 1;
        return;
    }
    messages.addMessage(
        "MISSING_OPENCL_ERROR",
        "Intel hardware acceleration is unavailable on this machine: a required dependency (OpenCL) is not "
        "installed. A different compatible runtime will be used if available. To enable Intel acceleration, "
        "follow the setup instructions in the " +
            Utils::htmlLink(std::string(Utils::DOCUMENTATION_URL) +
                                "/corvane/accelerators/intel_support#software-requirements",
                            "documentation"),
        MESSAGE_TYPE::INFO);
}

HailoChipInfo::HailoChipInfo(CPU_ARCH architecture, const std::string& osName, const std::string&)
    : ChipInfo(architecture) {
    chipName = "HAILO";
    vekai_vlog("Checking for supported Hailo chips\n");
    if (architecture != CPU_ARCH::AARCH64 && architecture != CPU_ARCH::X86_64)
        return;
    lookupHailo8ChipInfo(*this);
    if (!correctlyInstalled)
        return;
    std::string mimeType;
    if (hailoChipType == kHailo8) {
        mimeType = "application/x-hailo8";
    } else if (hailoChipType == kHailo8L) {
        mimeType = "application/x-hailo8l";
    } else {
        vekai_vlog("ERROR: No supported mime types found for the runtime\n");
        return;
    }
    RuntimeInfo runtime(chipName, cpuArchitecture, osName, "", apiVersion);
    runtime.supportedMimeTypes = {mimeType};
    addRuntime(RuntimeNames::ONNX_HAILORT, std::move(runtime));
}

std::vector<std::string> list_devices() {
    std::vector<std::string> names;
    std::error_code failure;
    std::filesystem::directory_iterator entries(Utils::systemPath("/sys/class/hailo_chardev"), failure);
    if (failure)
        return names;
    for (const auto& entry : entries)
        names.push_back(entry.path().filename().string());
    return names;
}

std::string get_hailo_driver_version() {
    const auto [status, output] = Utils::runShellCommand("hailortcli -v");
    if (status != 0) {
        vekai_vlog("Notice: Failed to run: 'hailortcli -v'\n");
        vekai_vlog("stdout/stderr: %s\n", output.c_str());
        return {};
    }
    const auto versions = captures(output, std::regex(R"(HailoRT-CLI version (\d+\.\d+\.\d+))"));
    if (versions.size() != 1) {
        vekai_vlog("Notice: Failed to parse the driver version from the output of 'hailortcli -v'\n");
        return {};
    }
    return versions.front();
}

int get_hailo_chip_type() {
    const auto [status, output] = Utils::runShellCommand("hailortcli fw-control identify");
    if (status != 0) {
        vekai_vlog("Notice: Failed to run: 'hailortcli fw-control identify'\n");
        vekai_vlog("stdout/stderr: %s\n", output.c_str());
        return HailoChipInfo::kNotIdentified;
    }
    for (const auto& architecture : captures(output, std::regex(R"(Device Architecture: (\w+))"))) {
        if (architecture == "HAILO8L")
            return HailoChipInfo::kHailo8L;
        if (architecture == "HAILO8")
            return HailoChipInfo::kHailo8;
    }
    return HailoChipInfo::kNotIdentified;
}

void lookupHailo8ChipInfo(HailoChipInfo& chip) {
    chip.chipDetected = false;
    chip.correctlyInstalled = false;
    const auto devices = list_devices();
    if (devices.empty()) {
        vekai_vlog("No Hailo-8 devices found\n");
        return;
    }
    chip.chipDetected = true;
    chip.numberOfChips = static_cast<int32_t>(devices.size());
    chip.apiVersion = get_hailo_driver_version();
    chip.hailoChipType = get_hailo_chip_type();
    if (std::find(kSupportedHailoVersions.begin(), kSupportedHailoVersions.end(), chip.apiVersion) !=
        kSupportedHailoVersions.end())
        chip.correctlyInstalled = true;
    else
        vekai_vlog("Hailo-8 driver version %s is not supported.", chip.apiVersion.c_str());
}

DEEPXChipInfo::DEEPXChipInfo(CPU_ARCH architecture, const std::string& osName, const std::string& osVersion)
    : ChipInfo(architecture) {
    chipName = "DEEPX";
    vekai_vlog("Checking for supported DEEPX chips\n");
    if (architecture != CPU_ARCH::AARCH64 && architecture != CPU_ARCH::X86_64)
        return;
    lookupDEEPXChipInfo(*this);
    if (!correctlyInstalled)
        return;
    RuntimeInfo runtime(chipName, cpuArchitecture, osName, osVersion, apiVersion);
    runtime.supportedMimeTypes = {"application/x-dxnn"};
    addRuntime(RuntimeNames::DEEPX, std::move(runtime));
}

void lookupDEEPXChipInfo(DEEPXChipInfo& chip) {
    chip.chipDetected = false;
    chip.correctlyInstalled = false;
    const auto [countStatus, countOutput] = Utils::runShellCommand("ls /dev/dxrt* | grep -c dxrt");
    int count = 0;
    bool counted = countStatus == 0;
    if (counted) {
        // The pipeline prints a number whenever it succeeds; anything else counts as no answer.
        try {
            count = std::stoi(countOutput);
        } catch (const std::logic_error&) {
            counted = false;
        }
    }
    if (!counted) {
        vekai_vlog("The number of DEEPX chips cannot be detected.\n");
        return;
    }
    chip.chipDetected = true;
    chip.numberOfChips = count;

    const auto [status, output] = Utils::runShellCommand("dxrt-cli -i");
    if (status != 0) {
        vekai_vlog("DEEPX driver not detected.\n");
        return;
    }
    std::smatch match;
    if (!std::regex_search(output, match, std::regex(R"(DXRT v([0-9]+)\.([0-9]+)\.([0-9]+))"))) {
        vekai_vlog("DEEPX driver version not detected.\n");
        return;
    }
    chip.apiVersion = match[1].str() + "." + match[2].str() + "." + match[3].str();
    for (const char* supported : kSupportedDEEPXVersions) {
        bool same = false;
        try {
            same = Utils::compare_version(chip.apiVersion, supported) == 0;
        } catch (const std::logic_error&) {
            // A version piece too large for an integer matches no supported version.
        }
        if (same) {
            chip.apiVersion = std::string("dxrt-v") + supported;
            chip.correctlyInstalled = true;
            return;
        }
    }
    vekai_vlog("DEEPX driver version %s is not supported.\n", chip.apiVersion.c_str());
}
