// The run of the command line: cameras fed with frames, a status line per camera each second,
// everything released in the server's order, then a summary.
#pragma once

#include <vekhost/outcome.h>
#include <vekhost/plugin_host.h>
#include <atomic>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <ostream>
#include <vector>

namespace vekhost {

struct RunOptions {
    int cameras = 1;
    // One file per camera, taken in turn when there are more cameras than files; none means the
    // synthetic pattern.
    std::vector<std::filesystem::path> videos;
    int syntheticWidth = 640;
    int syntheticHeight = 480;
    // Per camera.
    std::optional<int64_t> frames;
    std::optional<double> seconds;
    // Unset: the file's pace for videos, 25 frames per second for the pattern; 0: as fast as possible.
    std::optional<double> framesPerSecond;
    bool loop = false;
    std::optional<std::filesystem::path> metadataOut;
    // Where annotated frames go, one per camera per interval; unset writes none.
    std::optional<std::filesystem::path> framesOut;
    double frameIntervalSeconds = 2;
    // Seconds of every answered frame per camera encoded as a clip beside the annotated frames, when
    // FFmpeg has an encoder for it; 0 records none.
    double clipSeconds = 10;
    // The loopback port of the page showing the cameras and their settings; 0 takes a free one.
    std::optional<int> webPort;
    // Where the page's address is written once it is served.
    std::optional<std::filesystem::path> webAddressFile;
    // Longest wait after the last push for the plugin's answers to frames already pushed.
    double drainSeconds = 2;
};

// Camera ids are stable for a server id, so that a restart finds the same cameras.
CameraDescription cameraDescription(const std::string& serverId, int camera);

// Runs with a loaded plugin and releases it; the status lines and the summary go to out. The
// interrupt flag, when given, ends the pushing early as a normal stop.
Status runCameras(PluginHost& host, const RunOptions& options, std::ostream& out,
                  const std::atomic<bool>* interrupt);

}  // namespace vekhost
