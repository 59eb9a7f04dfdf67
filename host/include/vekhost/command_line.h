// The command line of vekhost: global options, one command, the command's options; defaults for
// directories and the server id are filled in here.
#pragma once

#include <vekhost/outcome.h>
#include <vekhost/plugin_host.h>
#include <vekhost/run_command.h>
#include <string>
#include <vector>

namespace vekhost {

// One camera's settings page: optional button presses, then optional changes applied, then the
// page printed.
struct DeviceSettingsOptions {
    int camera = 0;
    // Seconds to let the engine reach the cloud and the device's parameters before acting.
    double waitSeconds = 0;
    std::vector<std::string> presses;
    SettingValues changes;
};

struct CommandLine {
    enum class Command {
        help,
        manifest,
        engineManifest,
        engineSettings,
        deviceManifest,
        deviceSettings,
        run
    };
    Command command = Command::help;
    HostConfig host;
    RunOptions run;
    DeviceSettingsOptions settings;
    bool verbose = false;
};

// The arguments without the program name.
Outcome<CommandLine> parseCommandLine(const std::vector<std::string>& arguments);

std::string usageText();

}  // namespace vekhost
