// Annotated snapshots of the cameras for people to look at: at an interval, one pushed frame per
// camera with the boxes, class and track of the object packet answering it, the crossing line and
// its totals so far, written as a PPM image; optionally a short clip of every answered frame.
#pragma once

#include <vekhost/clip_writer.h>
#include <vekhost/device_settings_store.h>
#include <vekhost/video_frame.h>
#include <array>
#include <chrono>
#include <cstdint>
#include <deque>
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
// The frame as packed RGB, three bytes a pixel, rows from the top, converted from YUV 4:2:0.
std::vector<uint8_t> rgbOf(const VideoFrame& frame);
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
    // The camera's line crossing totals, empty while it has no line.
    std::string crossings(const std::string& cameraId) const;
    // The camera's latest annotated snapshot, or null before the first.
    std::shared_ptr<const VideoFrame> latestFrame(const std::string& cameraId) const;

    // From now on every answered frame of each camera's first LENGTH goes, annotated, into a clip
    // "<camera id>-clip<extension>" in the output directory.
    void recordClips(const ClipFormat& format, std::chrono::milliseconds length, double framesPerSecond);
    // Completes the clips still open; returns the paths of every clip with at least one frame.
    std::vector<std::filesystem::path> finishClips();

private:
    struct Camera {
        std::unique_ptr<VideoFrame> waiting;
        std::optional<std::chrono::steady_clock::time_point> lastKept;
        int64_t written = 0;
        std::optional<CrossingLine> line;
        std::string crossings = "left 0 right 0";
        std::shared_ptr<const VideoFrame> latest;
        // Pushed frames waiting for their answer, oldest first, while the clip is recording.
        std::deque<std::unique_ptr<VideoFrame>> clipFrames;
        bool clipDone = false;
    };
    struct Clip {
        std::unique_ptr<ClipWriter> writer;
        int64_t firstTimestampUs = 0;
    };

    void addToClip(const std::string& cameraId, const VideoFrame& frame);

    const std::filesystem::path outputDir;
    const std::chrono::milliseconds interval;
    mutable std::mutex mutex;
    std::map<std::string, Camera> cameras;

    std::optional<ClipFormat> clipFormat;
    std::chrono::milliseconds clipLength{0};
    double clipFramesPerSecond = 0;
    // Encoding is slow: kept apart from the frames and packets arriving for other cameras.
    std::mutex clipMutex;
    std::map<std::string, Clip> clips;
    std::vector<std::filesystem::path> finishedClips;
};

}  // namespace vekhost
