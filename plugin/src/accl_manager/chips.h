// The accelerator probes: each record asks the machine, through vendor tools, device nodes and the
// linker cache, whether its chip family is present and usable, and registers the runtimes it offers.
#pragma once

#include <string>
#include <vector>

#include "accl_manager/globals.h"

class MessagingManager;

class CPUChipInfo : public ChipInfo {
public:
    CPUChipInfo(CPU_ARCH architecture, const std::string& osName, const std::string& osVersion);
};

class IntelChipInfo : public ChipInfo {
public:
    IntelChipInfo(CPU_ARCH architecture, const std::string& osName, const std::string& osVersion,
                  MessagingManager& messages);
};

class HailoChipInfo : public ChipInfo {
public:
    static constexpr int kNotIdentified = 0;
    static constexpr int kHailo8 = 1;
    static constexpr int kHailo8L = 2;

    HailoChipInfo(CPU_ARCH architecture, const std::string& osName, const std::string& osVersion);

    int hailoChipType = kNotIdentified;
};

class DEEPXChipInfo : public ChipInfo {
public:
    DEEPXChipInfo(CPU_ARCH architecture, const std::string& osName, const std::string& osVersion);
};

class NvidiaChipInfo : public ChipInfo {
public:
    NvidiaChipInfo(CPU_ARCH architecture, const std::string& osName, const std::string& osVersion,
                   MessagingManager& messages);

    // Without dots: 86 for 8.6.
    std::string computeCapability;
    // The major version only, e.g. 10.
    std::string tensorRTVersion;
    // As "/usr/local/cuda/version.json" gives it, e.g. 12.4.1.
    std::string cudaToolkitVersion;
};

void lookupCPUChipInfo(CPUChipInfo& chip);
void lookupIntelChipInfo(IntelChipInfo& chip, MessagingManager& messages);
void lookupHailo8ChipInfo(HailoChipInfo& chip);
void lookupDEEPXChipInfo(DEEPXChipInfo& chip);

// Names in the Hailo device class directory.
std::vector<std::string> list_devices();
// The HailoRT version, empty when it cannot be determined.
std::string get_hailo_driver_version();
// One of HailoChipInfo's chip types.
int get_hailo_chip_type();

// An NVIDIA display device is on the PCI bus.
bool hasNvidiaGPU();
// The highest CUDA version the installed driver supports, or empty.
std::string queryMaxSupportedCudaVersion();
// The CUDA family tag ("cuda_11", "cuda_12", "cuda_13") of the installed toolkit, or empty; the
// toolkit version goes to `version`.
std::string readCudaVersion(std::string& version);
// False, with its notice posted, when the toolkit is newer than the driver supports.
bool checkCudaDriverCompatibility(NvidiaChipInfo& chip, MessagingManager& messages,
                                  const std::string& maxSupported);
// Whether a CUDA major version supports a compute capability (major * 10 + minor).
bool isComputeCapabilitySupported(int computeCapability, int cudaMajor);
std::string queryComputeCapSM();
std::string queryTRTVersion();
std::string extractXmlTagValue(const std::string& xml, const std::string& tag);
std::string truncateToMajorMinor(const std::string& version);
