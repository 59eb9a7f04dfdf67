// The vekcloud program's command line: where the site is, which port, the accepted system id and
// token, faults to inject from the start, and where to report the port for scripts.
#pragma once

#include <vekcloud/local_cloud.h>
#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace vekcloud {

struct CommandLine {
    CloudOptions options;
    std::vector<std::pair<std::string, Fault>> faults;
    // Connections are refused for this long after the start, then accepted.
    std::chrono::milliseconds refuseFor{0};
    // When not empty, the port is written there as soon as it is bound.
    std::filesystem::path portFile;
    bool help = false;
};

// None, with the reason in `error`, for an unknown option or a bad value.
std::optional<CommandLine> parseCommandLine(const std::vector<std::string>& arguments,
                                            const std::filesystem::path& defaultSite, std::string& error);

// "PREFIX:SETTING,SETTING,...", see usage().
std::optional<std::pair<std::string, Fault>> parseFault(std::string_view text, std::string& error);

std::string usage();

}  // namespace vekcloud
