// Shared pieces of the fuzz targets: quiet logging that still formats every line, a scratch
// directory for readers that take a file, and no developer configuration file.
#pragma once

#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "vekai_utilities/vekai_utils.h"

namespace fuzz {

// scripts/fuzz hands each run a directory in memory and removes it afterwards (libFuzzer ends a
// run without destroying statics); a run started by hand gets a fresh one under the temporary
// directory, left for inspection.
class ScratchDirectory {
public:
    ScratchDirectory() {
        if (const char* given = std::getenv("VEK_FUZZ_SCRATCH"); given && *given) {
            path = given;
            return;
        }
        std::string pattern = (std::filesystem::temp_directory_path() / "vekai-fuzz-XXXXXX").string();
        if (mkdtemp(pattern.data()) == nullptr)
            std::abort();
        path = pattern;
    }
    ScratchDirectory(const ScratchDirectory&) = delete;
    ScratchDirectory& operator=(const ScratchDirectory&) = delete;

    std::filesystem::path path;
};

inline ScratchDirectory& scratch() {
    static ScratchDirectory directory;
    return directory;
}

// Called once from LLVMFuzzerInitialize, before any reader asks for its configuration.
inline void setUp() {
    const std::filesystem::path noConfig = scratch().path / "no-config";
    setenv("VEK_CONFIG_DIR", noConfig.c_str(), 1);
    setenv("VEK_TEST_SYSTEM_ROOT", (scratch().path / "no-system").c_str(), 1);
    // Verbose, so that the verbose lines are formatted too, but written nowhere.
    vekai_initialize_logging(nullptr, nullptr, "", false, false, 2);
}

inline void writeFile(const std::filesystem::path& path, const uint8_t* data, size_t size) {
    std::filesystem::create_directories(path.parent_path());
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    if (!file)
        std::abort();
}

}  // namespace fuzz
