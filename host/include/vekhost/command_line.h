// The command line of vekhost: global options, one command, the command's options; defaults for
// directories and the server id are filled in here.
#pragma once

#include <vekhost/outcome.h>
#include <vekhost/plugin_host.h>
#include <vekhost/run_command.h>
#include <string>
#include <vector>

namespace vekhost {

struct CommandLine {
    enum class Command { help, manifest, engineManifest, engineSettings, deviceManifest, run };
    Command command = Command::help;
    HostConfig host;
    RunOptions run;
    bool verbose = false;
};

// The arguments without the program name.
Outcome<CommandLine> parseCommandLine(const std::vector<std::string>& arguments);

std::string usageText();

}  // namespace vekhost
