#include <vekhost/run_command.h>

#include <vekhost/camera_feeder.h>
#include <vekhost/host_log.h>
#include <vekhost/pattern_source.h>
#include <vekhost/run_page.h>
#include <vekhost/stable_ids.h>
#include <vekhost/video_file_source.h>
#include <chrono>
#include <cstdio>
#include <thread>

namespace vekhost {
namespace {

using Clock = std::chrono::steady_clock;

constexpr auto kPollInterval = std::chrono::milliseconds(50);
constexpr auto kStatusInterval = std::chrono::seconds(1);

double secondsBetween(Clock::time_point from, Clock::time_point to) {
    return std::chrono::duration<double>(to - from).count();
}

std::string fixed(double value, int decimals) {
    char text[64];
    std::snprintf(text, sizeof(text), "%.*f", decimals, value);
    return text;
}

std::string milliseconds(int64_t microseconds) {
    return fixed(static_cast<double>(microseconds) / 1000.0, 1);
}

Pace paceFor(const RunOptions& options) {
    Pace pace;
    if (options.framesPerSecond && *options.framesPerSecond <= 0) {
        pace.mode = Pace::Mode::asFastAsPossible;
    } else if (options.framesPerSecond) {
        pace.mode = Pace::Mode::fixedRate;
        pace.framesPerSecond = *options.framesPerSecond;
    } else {
        pace.mode = options.videos.empty() ? Pace::Mode::fixedRate : Pace::Mode::filePace;
    }
    return pace;
}

Outcome<std::vector<std::unique_ptr<FrameSource>>> openSources(const RunOptions& options) {
    std::vector<std::unique_ptr<FrameSource>> sources;
    for (int camera = 0; camera < options.cameras; ++camera) {
        if (options.videos.empty()) {
            sources.push_back(
                std::make_unique<PatternSource>(options.syntheticWidth, options.syntheticHeight));
            continue;
        }
        const auto& path = options.videos[static_cast<size_t>(camera) % options.videos.size()];
        auto source = VideoFileSource::open(path, options.loop);
        if (!source)
            return Failure{source.error()};
        sources.push_back(std::move(source.value()));
    }
    return sources;
}

struct CameraLine {
    std::string name;
    std::string id;
    FeederStatistics feeder;
    CameraStatistics metadata;
};

void printStatus(std::ostream& out, const CameraLine& now, const CameraLine& before, double seconds,
                 const std::string& source) {
    const double framesPerSecond =
        static_cast<double>(now.feeder.framesPushed - before.feeder.framesPushed) / seconds;
    const double packetsPerSecond =
        static_cast<double>(now.metadata.packets - before.metadata.packets) / seconds;
    out << now.name << " [" << source << "]: in " << fixed(framesPerSecond, 1) << " fps, out "
        << fixed(packetsPerSecond, 1) << " pkt/s | frames " << now.feeder.framesPushed << ", objects "
        << now.metadata.objects << ", events " << now.metadata.events << ", best shots "
        << now.metadata.bestShots << ", push errors " << now.feeder.pushErrors << "\n";
    out.flush();
}

void printCounts(std::ostream& out, const std::string& label, const FeederStatistics& feeder,
                 const CameraStatistics& metadata) {
    const int64_t unanswered = std::max<int64_t>(0, feeder.framesPushed - metadata.objectPackets);
    out << "  " << label << ": frames in " << feeder.framesPushed << ", object packets "
        << metadata.objectPackets << ", objects " << metadata.objects << ", event packets "
        << metadata.eventPackets << ", events " << metadata.events << ", best shots " << metadata.bestShots
        << ", other packets " << metadata.otherPackets << ", frames without an object packet " << unanswered
        << ", push errors " << feeder.pushErrors << ", diagnostic events " << metadata.diagnosticEvents
        << "\n";
}

class Run {
public:
    Run(PluginHost& host, const RunOptions& options, std::ostream& out, const std::atomic<bool>* interrupt)
        : host(host), options(options), out(out), interrupt(interrupt) {}

    Status execute() {
        auto sources = openSources(options);
        if (!sources)
            return fail(sources.error());
        auto created = MetadataRecorder::create(options.metadataOut);
        if (!created)
            return fail(created.error());
        recorder = created.value();
        if (options.framesOut) {
            annotator = std::make_shared<FrameAnnotator>(
                *options.framesOut,
                std::chrono::milliseconds(static_cast<int64_t>(options.frameIntervalSeconds * 1000)));
            recorder->annotateInto(annotator);
            recordClips();
        }
        if (Status engine = host.obtainEngine(); !engine)
            return fail(engine.error());

        const std::string serverId = host.utilityProvider().settings().serverId;
        for (int camera = 0; camera < options.cameras; ++camera) {
            const CameraDescription description = cameraDescription(serverId, camera);
            auto added = host.addCamera(description, recorder);
            if (!added)
                return fail(added.error());
            feeders.push_back(std::make_unique<CameraFeeder>(
                host, added.value(), std::move(sources.value()[static_cast<size_t>(camera)]),
                paceFor(options), options.frames));
            feeders.back()->annotateInto(annotator);
            if (annotator) {
                auto page = host.deviceSettings(added.value());
                const auto line = page ? crossingLineOf(page->values) : std::nullopt;
                if (line)
                    annotator->setCrossingLine(description.id, *line);
            }
            logInfo("camera " + description.name + " (" + description.id + ") fed from " +
                    feeders.back()->source().description());
        }

        runPage = std::make_unique<RunPage>(host, annotator, [this] { return counters(); });
        if (options.webPort)
            if (Status served = runPage->serve(*options.webPort, options.webAddressFile, out); !served)
                return fail(served.error());

        started = Clock::now();
        for (auto& feeder : feeders)
            feeder->start();
        watch();
        for (auto& feeder : feeders)
            feeder->stop();
        const auto pushingEnded = Clock::now();
        drain();
        const double pushing = secondsBetween(started, pushingEnded);
        const double waiting = secondsBetween(pushingEnded, Clock::now());
        runPage->stop();
        // Packets delivered while the plugin shuts down are counted too.
        host.release();
        if (annotator)
            clips = annotator->finishClips();
        return summarise(pushing, waiting);
    }

private:
    Status fail(const std::string& message) {
        for (auto& feeder : feeders)
            feeder->stop();
        if (runPage)
            runPage->stop();
        host.release();
        return Failure{message};
    }

    std::vector<CameraTile> counters() const {
        std::vector<CameraTile> result;
        for (int camera = 0; camera < static_cast<int>(feeders.size()); ++camera) {
            const CameraLine current = line(camera);
            CameraTile tile;
            tile.id = current.id;
            tile.name = current.name;
            tile.source = feeders[static_cast<size_t>(camera)]->source().description();
            tile.framesIn = current.feeder.framesPushed;
            tile.objectPackets = current.metadata.objectPackets;
            tile.objects = current.metadata.objects;
            tile.events = current.metadata.events;
            tile.pushErrors = current.feeder.pushErrors;
            result.push_back(std::move(tile));
        }
        return result;
    }

    void recordClips() {
        if (options.clipSeconds <= 0)
            return;
        const auto format = availableClipFormat();
        if (!format) {
            logInfo("no video encoder in this FFmpeg: no annotated clips, only frames");
            return;
        }
        annotator->recordClips(*format,
                               std::chrono::milliseconds(static_cast<int64_t>(options.clipSeconds * 1000)),
                               options.framesPerSecond.value_or(0));
    }

    bool interrupted() const { return interrupt && interrupt->load(); }

    CameraLine line(int camera) const {
        return CameraLine{host.camera(camera).name, host.camera(camera).id,
                          feeders[static_cast<size_t>(camera)]->statistics(), recorder->statistics(camera)};
    }

    bool allFinished() const {
        for (const auto& feeder : feeders)
            if (!feeder->statistics().finished)
                return false;
        return true;
    }

    void watch() {
        std::vector<CameraLine> before;
        for (int camera = 0; camera < static_cast<int>(feeders.size()); ++camera)
            before.push_back(line(camera));
        auto lastStatus = started;
        for (;;) {
            std::this_thread::sleep_for(kPollInterval);
            const auto now = Clock::now();
            if (interrupted()) {
                logInfo("interrupted; stopping the cameras");
                return;
            }
            if (options.seconds && secondsBetween(started, now) >= *options.seconds)
                return;
            if (allFinished())
                return;
            if (now - lastStatus >= kStatusInterval) {
                runPage->lookAtPages();
                const double seconds = secondsBetween(lastStatus, now);
                for (int camera = 0; camera < static_cast<int>(feeders.size()); ++camera) {
                    CameraLine current = line(camera);
                    printStatus(out, current, before[static_cast<size_t>(camera)], seconds,
                                feeders[static_cast<size_t>(camera)]->source().description());
                    before[static_cast<size_t>(camera)] = std::move(current);
                }
                lastStatus = now;
            }
        }
    }

    bool everyFrameAnswered() const {
        for (int camera = 0; camera < static_cast<int>(feeders.size()); ++camera) {
            const CameraLine current = line(camera);
            if (current.metadata.objectPackets < current.feeder.framesPushed)
                return false;
        }
        return true;
    }

    // The plugin answers asynchronously; frames pushed last still have their answers on the way.
    void drain() {
        const auto deadline = Clock::now() + std::chrono::duration<double>(options.drainSeconds);
        while (!everyFrameAnswered() && !interrupted() && Clock::now() < deadline)
            std::this_thread::sleep_for(kPollInterval);
    }

    Status summarise(double pushing, double waiting) {
        FeederStatistics totalFeeder;
        CameraStatistics total;
        std::vector<std::string> problems;
        out << "Summary after " << fixed(pushing, 1) << " s of pushing and " << fixed(waiting, 1)
            << " s waiting for answers, " << feeders.size() << " camera(s):\n";
        for (int camera = 0; camera < static_cast<int>(feeders.size()); ++camera) {
            const CameraLine current = line(camera);
            printCounts(out, current.name + " (" + current.id + ")", current.feeder, current.metadata);
            totalFeeder.framesPushed += current.feeder.framesPushed;
            totalFeeder.pushErrors += current.feeder.pushErrors;
            total.objectPackets += current.metadata.objectPackets;
            total.objects += current.metadata.objects;
            total.eventPackets += current.metadata.eventPackets;
            total.events += current.metadata.events;
            total.bestShots += current.metadata.bestShots;
            total.otherPackets += current.metadata.otherPackets;
            total.diagnosticEvents += current.metadata.diagnosticEvents;
            if (current.feeder.pushErrors > 0)
                problems.push_back(current.name + ": " + std::to_string(current.feeder.pushErrors) +
                                   " frame(s) refused, first: " + current.feeder.firstPushError);
            if (!current.feeder.sourceError.empty())
                problems.push_back(current.name + ": " + current.feeder.sourceError);
        }
        printCounts(out, "Total", totalFeeder, total);
        if (pushing > 0)
            out << "  Frames in per second: "
                << fixed(static_cast<double>(totalFeeder.framesPushed) / pushing, 1) << "\n";
        const LatencySummary latency = recorder->latency();
        if (latency.samples > 0)
            out << "  Latency from push to object packet: p50 " << milliseconds(latency.p50Us) << " ms, p90 "
                << milliseconds(latency.p90Us) << " ms, p99 " << milliseconds(latency.p99Us) << " ms, max "
                << milliseconds(latency.maxUs) << " ms over " << latency.samples << " packet(s)"
                << (latency.keptSamples < latency.samples
                        ? " (percentiles from a sample of " + std::to_string(latency.keptSamples) + ")"
                        : std::string())
                << "\n";
        if (options.metadataOut)
            out << "  Metadata written to " << options.metadataOut->string() << "\n";
        if (annotator)
            out << "  Annotated frames: " << annotator->imagesWritten() << " written to "
                << annotator->directory().string() << "\n";
        for (const auto& clip : clips)
            out << "  Annotated clip: " << clip.string() << "\n";
        out.flush();
        if (const auto failure = recorder->writeFailure())
            problems.push_back(*failure);
        if (problems.empty())
            return success();
        std::string message = "the run had failures:";
        for (const auto& problem : problems)
            message += "\n  " + problem;
        return Failure{message};
    }

    PluginHost& host;
    const RunOptions& options;
    std::ostream& out;
    const std::atomic<bool>* interrupt;
    std::shared_ptr<MetadataRecorder> recorder;
    std::shared_ptr<FrameAnnotator> annotator;
    std::vector<std::filesystem::path> clips;
    std::unique_ptr<RunPage> runPage;
    std::vector<std::unique_ptr<CameraFeeder>> feeders;
    Clock::time_point started;
};

}  // namespace

CameraDescription cameraDescription(const std::string& serverId, int camera) {
    const std::string number = std::to_string(camera + 1);
    return CameraDescription{stableId(serverId + "/camera/" + number), "Camera " + number};
}

Status runCameras(PluginHost& host, const RunOptions& options, std::ostream& out,
                  const std::atomic<bool>* interrupt) {
    Run run(host, options, out, interrupt);
    return run.execute();
}

}  // namespace vekhost
