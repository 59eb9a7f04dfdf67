// The sample site end to end with nothing set by hand but the user's switch on each camera: the cloud
// resets the three cameras to their own defaults, the plugin installs the runtime from the cloud's
// store, downloads the assigned models once, and runs the chained pipeline and the pipeline with
// the external postprocessor; the camera whose plugin is disabled contributes nothing.
#include "site_test_support.h"

namespace sitetest {
namespace {

const fs::path kSite = VEK_SAMPLE_SITE;
constexpr const char* kPerson = "vek.base.Person";
constexpr const char* kCar = "vek.base.Car";

// What the packets of one camera say.
struct CameraSummary {
    size_t objectPackets = 0;
    std::map<std::string, size_t> objectsByType;
    std::map<std::string, size_t> eventsByType;
    std::vector<std::string> eventDescriptions;
    std::map<std::string, size_t> attributes;
};

CameraSummary summarise(const std::vector<Packet>& packets, const std::string& camera) {
    CameraSummary summary;
    for (const auto& packet : packets) {
        if (packet.camera != camera)
            continue;
        if (packet.type == "objects") {
            ++summary.objectPackets;
            for (const auto& type : packet.typeIds)
                ++summary.objectsByType[type];
            for (const auto& attribute : packet.attributes)
                ++summary.attributes[attribute];
        } else if (packet.type == "events") {
            for (const auto& type : packet.typeIds)
                ++summary.eventsByType[type];
            summary.eventDescriptions.insert(summary.eventDescriptions.end(), packet.descriptions.begin(),
                                             packet.descriptions.end());
        }
    }
    return summary;
}

bool anyContains(const std::vector<std::string>& texts, const std::string& needle) {
    for (const auto& text : texts)
        if (text.find(needle) != std::string::npos)
            return true;
    return false;
}

TEST(SampleSite, ChainedAndExternalPipelinesRunFromTheCloudsDocuments) {
    SiteRun run(kSite);
    ASSERT_TRUE(run.started);
    // The plugin's own declaration of the sample objects postprocessor the second camera's pipeline names.
    writeText(run.workDir() / "postprocessors" / "external_postprocessors.json",
              R"([{"Name": "tagger", "Command": ")" SAMPLE_OBJECT_TAGGER R"(",
                   "Events": [{"ID": "sample.tagger.sides", "Name": "Objects by side"}]}])");
    ASSERT_TRUE(run.startHost(3));
    const int chained = run.cameras[0];
    const int sides = run.cameras[1];
    const int disabled = run.cameras[2];

    // Each camera receives its own defaults from the site on reset.
    for (int camera : run.cameras) {
        ASSERT_TRUE(
            waitFor(30s,
                    [&] {
                        return run.host->restApi().parametersOf(run.cameraId(camera)).find("\"pipelines\"") !=
                               std::string::npos;
                    }))
            << "camera " << camera + 1 << ": " << run.host->restApi().parametersOf(run.cameraId(camera));
    }
    EXPECT_NE(run.host->restApi().parametersOf(run.cameraId(chained)).find(R"("method":"FeatureExtraction")"),
              std::string::npos);
    EXPECT_NE(run.host->restApi().parametersOf(run.cameraId(sides)).find(R"("Postprocessor":"tagger")"),
              std::string::npos);
    EXPECT_NE(run.host->restApi().parametersOf(run.cameraId(disabled)).find(R"("PluginEnabled":false)"),
              std::string::npos);

    run.activate(chained);
    run.activate(sides);
    // The disabled camera is switched on too: it still must not run anything.
    auto applied = run.host->applyDeviceSettings(disabled, {{"deviceActiveSwitch", "true"}});
    ASSERT_TRUE(applied) << applied.error();
    run.feedFrames();

    const auto ready = [&] {
        const auto packets = readPackets(run.packetsPath());
        const CameraSummary first = summarise(packets, run.cameraId(chained));
        const CameraSummary second = summarise(packets, run.cameraId(sides));
        return first.objectPackets >= 3 && first.eventsByType.count("vek.vekai.category") &&
               second.objectPackets >= 3 && second.eventsByType.count("sample.tagger.sides");
    };
    EXPECT_TRUE(waitFor(60s, ready)) << readText(run.packetsPath());
    for (auto& feeder : run.feeders)
        feeder->stop();
    const auto packets = readPackets(run.packetsPath());

    // Chained: the detector's people and cars, and the classifier's colour for the people's crops.
    CameraSummary first = summarise(packets, run.cameraId(chained));
    EXPECT_EQ(first.objectsByType.size(), 2u);
    EXPECT_GT(first.objectsByType[kPerson], 0u);
    EXPECT_GT(first.objectsByType[kCar], 0u);
    EXPECT_GT(first.eventsByType["vek.vekai.category"], 0u);
    EXPECT_TRUE(anyContains(first.eventDescriptions, "green"));
    EXPECT_TRUE(first.attributes.empty()) << "no external postprocessor on this camera";

    // External postprocessor: the same detector's objects, tagged by side, and the tagger's event.
    CameraSummary second = summarise(packets, run.cameraId(sides));
    EXPECT_EQ(second.objectsByType.size(), 2u) << "both cameras share the detector";
    EXPECT_GT(second.objectsByType[kPerson], 0u);
    EXPECT_GT(second.objectsByType[kCar], 0u);
    EXPECT_GT(second.attributes[std::string(kPerson) + ":Side=left"], 0u);
    EXPECT_EQ(second.attributes[std::string(kPerson) + ":Side=right"], 0u) << "the person is on the left";
    EXPECT_GT(second.attributes[std::string(kCar) + ":Side=right"], 0u);
    EXPECT_EQ(second.attributes[std::string(kCar) + ":Side=left"], 0u) << "the car is on the right";
    EXPECT_EQ(second.eventsByType.count("vek.vekai.category"), 0u) << "no classifier on this camera";

    // Disabled: frames went in, nothing came out.
    EXPECT_GT(run.feeders[2]->statistics().framesPushed, 0);
    EXPECT_EQ(run.recorder->statistics(disabled).objectPackets, 0);
    EXPECT_EQ(run.recorder->statistics(disabled).eventPackets, 0);

    // One runtime download, each assigned model downloaded once although two cameras share one, and
    // nothing fetched for the disabled camera's model.
    EXPECT_EQ(requestsTo(*run.cloud, std::string(vekcloud::LocalCloud::kRuntimeStorePath) +
                                         "/CPU/x86_64/Ubuntu/library.tar.gz"),
              1u);
    EXPECT_EQ(requestsTo(*run.cloud, "/storage/models/reference-detector/reference-detector.json"), 1u);
    EXPECT_EQ(requestsTo(*run.cloud, "/storage/models/reference-classifier/reference-classifier.json"), 1u);
    for (const auto& request : run.cloud->requests())
        EXPECT_EQ(request.path.find("nanodet"), std::string::npos) << request.path;
    for (const auto& feeder : run.feeders)
        EXPECT_EQ(feeder->statistics().pushErrors, 0) << feeder->statistics().firstPushError;

    const std::string log = pluginLog(run.workDir());
    EXPECT_EQ(occurrences(log, "Skipping model due to invalid data"), 0u);
    EXPECT_EQ(occurrences(log, "Skipping pipeline node due to invalid data"), 0u);
}

}  // namespace
}  // namespace sitetest
