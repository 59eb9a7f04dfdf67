#include "accl_manager/globals.h"

#include <algorithm>
#include <cctype>
#include <fstream>

#include "accl_manager/utils.h"
#include "ini_manager.h"
#include "vekai_utilities/vekai_utils.h"

namespace {

constexpr const char* kRuntimeInterfaceVersion = "2.0.0";
constexpr const char* kLinkTemplate =
    "{chip_name}/{cpu_arch}/{os_name}{/os_version}/library{-driver_version}.tar.gz";

// The text after the first "=": between a leading quote and the next one, or the rest of the line.
std::string osReleaseValue(const std::string& line) {
    const std::string value = line.substr(line.find('=') + 1);
    if (value.empty() || value.front() != '"')
        return value;
    const size_t closing = value.find('"', 1);
    return closing == std::string::npos ? value.substr(1) : value.substr(1, closing - 1);
}

std::string translateDebianVersion(const std::string& version) {
    if (version == "11")
        return "20.04";
    if (version == "12")
        return "22.04";
    if (version == "13")
        return "24.04";
    return version;
}

CPU_ARCH readCPUArchitecture() {
    auto [status, output] = Utils::runShellCommand("uname -m");
    if (status != 0) {
        vekai_vlog("ERROR: Failed to get the CPU architecture.\n");
        return CPU_ARCH::UNKNOWN;
    }
    while (!output.empty() && std::isspace(static_cast<unsigned char>(output.back())))
        output.pop_back();
    if (output == "x86_64")
        return CPU_ARCH::X86_64;
    if (output == "aarch64")
        return CPU_ARCH::AARCH64;
    return CPU_ARCH::UNKNOWN;
}

}  // namespace

namespace Utils {

std::string CPUArchitectureToString(CPU_ARCH architecture) {
    switch (architecture) {
        case CPU_ARCH::AARCH64:
            return "aarch64";
        case CPU_ARCH::AARCH64_JETSON:
            return "aarch64-jetson";
        case CPU_ARCH::AARCH64_SBSA:
            return "aarch64-sbsa";
        case CPU_ARCH::X86_64:
            return "x86_64";
        default:
            return "UNKNOWN";
    }
}

}  // namespace Utils

MachineInfo::MachineInfo() {
    std::ifstream osRelease(Utils::systemPath("/etc/os-release"));
    if (!osRelease) {
        vekai_vlog("ERROR: Failed to get OS name and version");
        return;
    }
    std::string id;
    std::string version;
    bool versionRead = false;
    std::string line;
    while (std::getline(osRelease, line)) {
        if (line.rfind("ID=", 0) == 0) {
            id = osReleaseValue(line);
        } else if (line.rfind("VERSION_ID=", 0) == 0) {
            version = osReleaseValue(line);
            versionRead = true;
        }
    }
    std::transform(id.begin(), id.end(), id.begin(), [](unsigned char c) { return std::tolower(c); });

    if (id == "ubuntu" || id == "debian" || id == "cv75") {
        osName = "Ubuntu";
        if (versionRead)
            osVersion = version;
        if (id == "debian") {
            vekai_vlog("Translating Debian version '%s' to Ubuntu version...", version.c_str());
            osVersion = translateDebianVersion(osVersion);
        }
    } else if (!id.empty()) {
        vekai_vlog("ERROR: Unsupported OS ID: '%s'", id.c_str());
        return;
    } else {
        vekai_vlog("ERROR: Failed to get OS ID from /etc/os-release");
        return;
    }
    cpuArchitecture = readCPUArchitecture();
}

RuntimeInfo::RuntimeInfo(const std::string& chipName, CPU_ARCH architecture, const std::string& osName,
                         const std::string& osVersion, const std::string& driverVersion) {
    const char* configured = ini().RuntimesStorageURL;
    std::string link =
        configured != nullptr && *configured != '\0'
            ? std::string(configured)
            : std::string(Utils::ARTIFACTORY_URL) + "/OAAX/runtimes/" + kRuntimeInterfaceVersion;
    if (link.empty() || link.back() != '/')
        link += '/';
    link += kLinkTemplate;
    Utils::replaceAll(link, "{chip_name}", chipName);
    Utils::replaceAll(link, "{cpu_arch}", Utils::CPUArchitectureToString(architecture));
    Utils::replaceAll(link, "{os_name}", osName);
    Utils::replaceAll(link, "{/os_version}", osVersion.empty() ? std::string() : "/" + osVersion);
    Utils::replaceAll(link, "{-driver_version}", driverVersion.empty() ? std::string() : "-" + driverVersion);
    downloadLink = std::move(link);
}

bool RuntimeInfo::supportsMimeTypes(const std::string& mimeType) const {
    return mimeType.empty() || std::find(supportedMimeTypes.begin(), supportedMimeTypes.end(), mimeType) !=
                                   supportedMimeTypes.end();
}

void ChipInfo::addRuntime(const std::string& name, RuntimeInfo runtime) {
    runtimes.emplace(name, std::move(runtime));
}

std::vector<std::string> ChipInfo::getPossibleRuntimeNames(const std::string& mimeType) const {
    std::vector<std::string> names;
    for (const auto& [name, runtime] : runtimes) {
        if (runtime.supportsMimeTypes(mimeType))
            names.push_back(name);
    }
    return names;
}

std::string ChipInfo::getDownloadLink(const std::string& runtimeName) const {
    const auto found = runtimes.find(runtimeName);
    if (found == runtimes.end()) {
        vekai_vlog("ERROR: Runtime %s not found 1\n", runtimeName.c_str());
        return {};
    }
    std::string primaryMimeType;
    if (found->second.supportedMimeTypes.empty())
        vekai_vlog("ERROR: No supported mime types found for the runtime\n");
    else
        primaryMimeType = found->second.supportedMimeTypes.front();
    vekai_vlog("Download link: %s (mimetype: %s)\n", found->second.downloadLink.c_str(),
               primaryMimeType.c_str());
    return found->second.downloadLink;
}

std::string ChipInfo::getSupportedMIMEType(const std::string& runtimeName) const {
    const auto found = runtimes.find(runtimeName);
    if (found == runtimes.end()) {
        vekai_vlog("ERROR: Runtime %s not found 2\n", runtimeName.c_str());
        return {};
    }
    if (found->second.supportedMimeTypes.empty()) {
        vekai_vlog("ERROR: No supported mime types found for the runtime\n");
        return {};
    }
    return found->second.supportedMimeTypes.front();
}

void ChipInfo::printSummary() const {
    if (!chipDetected)
        return;
    vekai_vlog(
        "Chip name: %s, Chip detected: %d, Correctly installed: %d, Number of chips: %d, API version: %s\n",
        chipName.c_str(), chipDetected ? 1 : 0, correctlyInstalled ? 1 : 0, numberOfChips,
        apiVersion.c_str());
}
