#include <vekhost/camera_feeder.h>

#include <vekhost/host_log.h>
#include <chrono>

namespace vekhost {
namespace {

// Push failures are logged the first time and then once per this many, so a broken agent does not
// flood the terminal.
constexpr int64_t kPushErrorLogInterval = 100;

}  // namespace

CameraFeeder::CameraFeeder(const PluginHost& host, int camera, std::unique_ptr<FrameSource> source, Pace pace,
                           std::optional<int64_t> frameLimit)
    : host(host), camera(camera), frames(std::move(source)), pace(pace), frameLimit(frameLimit) {}

CameraFeeder::~CameraFeeder() {
    stop();
}

void CameraFeeder::start() {
    thread = std::jthread([this](std::stop_token stopToken) { feed(stopToken); });
}

void CameraFeeder::stop() {
    if (!thread.joinable())
        return;
    thread.request_stop();
    thread.join();
}

FeederStatistics CameraFeeder::statistics() const {
    FeederStatistics result;
    result.framesPushed = framesPushed;
    result.pushErrors = pushErrors;
    result.finished = finished;
    std::lock_guard lock(textMutex);
    result.firstPushError = firstPushError;
    result.sourceError = sourceError;
    return result;
}

void CameraFeeder::feed(std::stop_token stopToken) {
    const auto start = std::chrono::steady_clock::now();
    for (int64_t index = 0; !stopToken.stop_requested() && (!frameLimit || index < *frameLimit); ++index) {
        NextFrame next = frames->next();
        if (next.state == NextFrame::State::ended)
            break;
        if (next.state == NextFrame::State::failed) {
            logError("camera " + host.camera(camera).name + ": " + next.error);
            std::lock_guard lock(textMutex);
            sourceError = next.error;
            break;
        }
        if (const auto due = dueOffset(pace, index, next.frame.presentationSeconds)) {
            std::unique_lock lock(waitMutex);
            waitCondition.wait_until(lock, stopToken, start + *due, [] { return false; });
        }
        if (stopToken.stop_requested())
            break;
        pushOne(*next.frame.frame);
    }
    finished = true;
}

void CameraFeeder::pushOne(VideoFrame& frame) {
    frame.setTimestampUs(wallClockUs());
    // Kept before the push, so that no answer can arrive ahead of its frame.
    if (annotator)
        annotator->offerFrame(host.camera(camera).id, frame);
    const Status pushed = host.pushFrame(camera, frame);
    if (pushed) {
        ++framesPushed;
        return;
    }
    const int64_t errors = ++pushErrors;
    if (errors == 1) {
        std::lock_guard lock(textMutex);
        firstPushError = pushed.error();
    }
    if (errors % kPushErrorLogInterval == 1)
        logError(pushed.error() + " (" + std::to_string(errors) + " push failure(s) so far)");
}

}  // namespace vekhost
