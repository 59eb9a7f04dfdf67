// One camera's thread: takes frames from its source, waits until each is due, stamps it with the
// wall clock and pushes it into the camera's device agent.
#pragma once

#include <vekhost/frame_annotator.h>
#include <vekhost/frame_pacer.h>
#include <vekhost/frame_source.h>
#include <vekhost/plugin_host.h>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

namespace vekhost {

struct FeederStatistics {
    int64_t framesPushed = 0;
    int64_t pushErrors = 0;
    std::string firstPushError;
    // Why the source stopped giving frames, when it failed.
    std::string sourceError;
    bool finished = false;
};

class CameraFeeder {
public:
    // The host must outlive the feeder; no frame is pushed before start().
    CameraFeeder(const PluginHost& host, int camera, std::unique_ptr<FrameSource> source, Pace pace,
                 std::optional<int64_t> frameLimit);
    CameraFeeder(const CameraFeeder&) = delete;
    CameraFeeder& operator=(const CameraFeeder&) = delete;
    ~CameraFeeder();

    void start();
    // Stops pushing and waits for the thread.
    void stop();
    // Offers the pushed frames for annotated snapshots; call before start().
    void annotateInto(std::shared_ptr<FrameAnnotator> target) { annotator = std::move(target); }
    FeederStatistics statistics() const;
    const FrameSource& source() const { return *frames; }

private:
    void feed(std::stop_token stopToken);
    void pushOne(VideoFrame& frame);

    const PluginHost& host;
    const int camera;
    const std::unique_ptr<FrameSource> frames;
    const Pace pace;
    const std::optional<int64_t> frameLimit;
    std::shared_ptr<FrameAnnotator> annotator;

    std::atomic<int64_t> framesPushed{0};
    std::atomic<int64_t> pushErrors{0};
    std::atomic<bool> finished{false};
    mutable std::mutex textMutex;
    std::string firstPushError;
    std::string sourceError;

    std::mutex waitMutex;
    std::condition_variable_any waitCondition;
    std::jthread thread;
};

}  // namespace vekhost
