// What the plugin sends back, per camera: counts of packets, objects, events and best shots, the
// JSON-lines file of every packet, and the push-to-answer latency of object packets.
#pragma once

#include <vek/sdk/analytics/i_metadata_packet.h>
#include <vek/sdk/i_integration.h>
#include <vekhost/frame_annotator.h>
#include <vekhost/latency_stats.h>
#include <vekhost/outcome.h>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace vekhost {

struct CameraStatistics {
    int64_t packets = 0;
    int64_t objectPackets = 0;
    int64_t objects = 0;
    int64_t eventPackets = 0;
    int64_t events = 0;
    int64_t bestShots = 0;
    int64_t otherPackets = 0;
    int64_t diagnosticEvents = 0;
    int64_t pushedManifests = 0;
};

class MetadataRecorder {
public:
    // Without a path nothing is written, only counted.
    static Outcome<std::shared_ptr<MetadataRecorder>> create(
        const std::optional<std::filesystem::path>& outputPath);

    MetadataRecorder(const MetadataRecorder&) = delete;
    MetadataRecorder& operator=(const MetadataRecorder&) = delete;

    // Returns the camera's index for the calls below.
    int addCamera(std::string cameraId);

    void recordPacket(int camera, vek::sdk::analytics::IMetadataPacket* packet);
    void recordDiagnosticEvent(int camera);
    void recordPushedManifest(int camera);

    CameraStatistics statistics(int camera) const;
    LatencySummary latency() const { return latencies.summary(); }
    // The first failure to write the output file, if any.
    std::optional<std::string> writeFailure() const;
    // Hands object packets to the annotated snapshots; call before packets arrive.
    void annotateInto(std::shared_ptr<FrameAnnotator> target) { annotator = std::move(target); }

private:
    struct Counters {
        std::string cameraId;
        std::atomic<int64_t> packets{0};
        std::atomic<int64_t> objectPackets{0};
        std::atomic<int64_t> objects{0};
        std::atomic<int64_t> eventPackets{0};
        std::atomic<int64_t> events{0};
        std::atomic<int64_t> bestShots{0};
        std::atomic<int64_t> otherPackets{0};
        std::atomic<int64_t> diagnosticEvents{0};
        std::atomic<int64_t> pushedManifests{0};
    };
    struct FileCloser {
        void operator()(std::FILE* file) const { std::fclose(file); }
    };

    MetadataRecorder(std::unique_ptr<std::FILE, FileCloser> output, std::filesystem::path outputPath);
    Counters* camera(int index) const;
    void writeLine(const std::string& line);

    mutable std::mutex camerasMutex;
    // Counters stay in place while cameras are added; recording threads hold their address.
    std::vector<std::unique_ptr<Counters>> cameras;

    mutable std::mutex outputMutex;
    std::unique_ptr<std::FILE, FileCloser> output;
    std::filesystem::path outputPath;
    std::optional<std::string> firstWriteFailure;

    LatencyStats latencies;
    std::shared_ptr<FrameAnnotator> annotator;
};

}  // namespace vekhost
