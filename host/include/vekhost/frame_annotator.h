// Annotated snapshots of the cameras for people to look at: at an interval, one pushed frame per
// camera with the boxes, class and track of the object packet answering it, the crossing line and
// its totals so far, written as a PPM image.
#pragma once

#include <vekhost/device_settings_store.h>
#include <vekhost/video_frame.h>
#include <array>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace vekhost {

// A box in frame fractions, as object packets carry it.
struct AnnotatedBox {
    float x = 0, y = 0, w = 0, h = 0;
    std::string label;
};

// Draws boxes and their labels (a small built-in font) on the frame's planes.
void drawBoxes(VideoFrame& frame, const std::vector<AnnotatedBox>& boxes);
// The frame as binary PPM (P6), converted from YUV 4:2:0.
bool writePpm(const VideoFrame& frame, const std::filesystem::path& path);
// A segment from (x1, y1) to (x2, y2) in frame fractions.
using CrossingLine = std::array<float, 4>;
void drawLine(VideoFrame& frame, const CrossingLine& line);
// The line of a device's stored settings values ("lineCrossingLine_..." holding a figure).
std::optional<CrossingLine> crossingLineOf(const SettingValues& values);
// The boxes of an object packet's JSON line, labelled "class track", the track shortened.
std::vector<AnnotatedBox> boxesOfPacket(const std::string& jsonLine);

class FrameAnnotator {
public:
    FrameAnnotator(std::filesystem::path outputDir, std::chrono::milliseconds interval);

    // Keeps a copy of the frame when the camera's next snapshot is due and none is waiting.
    void offerFrame(const std::string& cameraId, const VideoFrame& frame);
    // Draws the packet on the kept frame it answers and writes it.
    void offerObjectPacket(const std::string& cameraId, int64_t timestampUs, const std::string& jsonLine);
    // Keeps the line crossing totals of an event packet ("Left: N" and "Right: N").
    void offerEventPacket(const std::string& cameraId, const std::string& jsonLine);
    void setCrossingLine(const std::string& cameraId, const CrossingLine& line);
    int64_t imagesWritten() const;
    const std::filesystem::path& directory() const { return outputDir; }

private:
    struct Camera {
        std::unique_ptr<VideoFrame> waiting;
        std::optional<std::chrono::steady_clock::time_point> lastKept;
        int64_t written = 0;
        std::optional<CrossingLine> line;
        std::string crossings = "left 0 right 0";
    };

    const std::filesystem::path outputDir;
    const std::chrono::milliseconds interval;
    mutable std::mutex mutex;
    std::map<std::string, Camera> cameras;
};

}  // namespace vekhost
