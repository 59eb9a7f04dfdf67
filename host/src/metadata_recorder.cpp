#include <vekhost/metadata_recorder.h>

#include <vekhost/host_log.h>
#include <vekhost/metadata_json.h>
#include <vekhost/video_frame.h>
#include <cerrno>
#include <cstring>

namespace vekhost {

Outcome<std::shared_ptr<MetadataRecorder>> MetadataRecorder::create(
    const std::optional<std::filesystem::path>& outputPath) {
    std::unique_ptr<std::FILE, FileCloser> output;
    if (outputPath) {
        output.reset(std::fopen(outputPath->c_str(), "w"));
        if (!output)
            return Failure{"cannot create the metadata file " + outputPath->string() + ": " +
                           std::strerror(errno)};
    }
    return std::shared_ptr<MetadataRecorder>(
        new MetadataRecorder(std::move(output), outputPath.value_or(std::filesystem::path())));
}

MetadataRecorder::MetadataRecorder(std::unique_ptr<std::FILE, FileCloser> output,
                                   std::filesystem::path outputPath)
    : output(std::move(output)), outputPath(std::move(outputPath)) {}

int MetadataRecorder::addCamera(std::string cameraId) {
    std::lock_guard lock(camerasMutex);
    cameras.push_back(std::make_unique<Counters>());
    cameras.back()->cameraId = std::move(cameraId);
    return static_cast<int>(cameras.size()) - 1;
}

MetadataRecorder::Counters* MetadataRecorder::camera(int index) const {
    std::lock_guard lock(camerasMutex);
    if (index < 0 || static_cast<size_t>(index) >= cameras.size())
        return nullptr;
    return cameras[static_cast<size_t>(index)].get();
}

void MetadataRecorder::recordPacket(int cameraIndex, vek::sdk::analytics::IMetadataPacket* packet) {
    Counters* counters = camera(cameraIndex);
    if (!counters || !packet)
        return;
    const int64_t receivedUs = wallClockUs();
    const PacketDigest digest = digestMetadataPacket(counters->cameraId, packet);
    ++counters->packets;
    switch (digest.kind) {
        case PacketDigest::Kind::objects:
            ++counters->objectPackets;
            counters->objects += digest.itemCount;
            // Object packets carry the timestamp of the frame they answer.
            latencies.add(receivedUs - digest.timestampUs);
            if (annotator)
                annotator->offerObjectPacket(counters->cameraId, digest.timestampUs, digest.jsonLine);
            break;
        case PacketDigest::Kind::events:
            ++counters->eventPackets;
            counters->events += digest.itemCount;
            if (annotator)
                annotator->offerEventPacket(counters->cameraId, digest.jsonLine);
            break;
        case PacketDigest::Kind::bestShot:
            ++counters->bestShots;
            break;
        case PacketDigest::Kind::other:
            ++counters->otherPackets;
            break;
    }
    writeLine(digest.jsonLine);
}

void MetadataRecorder::recordDiagnosticEvent(int cameraIndex) {
    if (Counters* counters = camera(cameraIndex))
        ++counters->diagnosticEvents;
}

void MetadataRecorder::recordPushedManifest(int cameraIndex) {
    if (Counters* counters = camera(cameraIndex))
        ++counters->pushedManifests;
}

CameraStatistics MetadataRecorder::statistics(int cameraIndex) const {
    CameraStatistics result;
    const Counters* counters = camera(cameraIndex);
    if (!counters)
        return result;
    result.packets = counters->packets;
    result.objectPackets = counters->objectPackets;
    result.objects = counters->objects;
    result.eventPackets = counters->eventPackets;
    result.events = counters->events;
    result.bestShots = counters->bestShots;
    result.otherPackets = counters->otherPackets;
    result.diagnosticEvents = counters->diagnosticEvents;
    result.pushedManifests = counters->pushedManifests;
    return result;
}

std::optional<std::string> MetadataRecorder::writeFailure() const {
    std::lock_guard lock(outputMutex);
    return firstWriteFailure;
}

void MetadataRecorder::writeLine(const std::string& line) {
    std::lock_guard lock(outputMutex);
    if (!output || firstWriteFailure)
        return;
    // Flushed per line so that a reader following the file sees every packet as it comes.
    if (std::fwrite(line.data(), 1, line.size(), output.get()) != line.size() ||
        std::fputc('\n', output.get()) == EOF || std::fflush(output.get()) != 0) {
        firstWriteFailure =
            "cannot write the metadata file " + outputPath.string() + ": " + std::strerror(errno);
        logError(*firstWriteFailure);
    }
}

}  // namespace vekhost
