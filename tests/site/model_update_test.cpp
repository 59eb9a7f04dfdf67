// A model whose file changes in the cloud: once the camera's parameters carry the new "LastModified",
// the plugin downloads the model again and restarts inference once, and later passes that see the
// same model neither download nor restart again.
#include "site_test_support.h"

namespace sitetest {
namespace {

constexpr const char* kModelFile = "update-detector.json";
const std::string kStoragePath = std::string("/storage/models/update-detector/") + kModelFile;

// A site of its own with one detector for every camera, whose file this test touches.
void writeSite(const fs::path& site) {
    writeText(site / "models/update-detector/model.json", R"({
        "Name": "Detector that gets updated",
        "UpdatedAt": "2025-01-01T00:00:00",
        "Downloads": [{"RuntimeArchitecture": "application/x-onnx", "File": "update-detector.json"}],
        "InputDriverDetails": {"width": 320, "height": 320, "channels": 3,
                               "vars": [255, 255, 255], "means": [0, 0, 0], "order": 0},
        "NamedInput": [{"DataType": "float32", "Name": "images", "Shape": [1, 3, 320, 320]}],
        "NamedOutput": [{"DataType": "float32", "Name": "bboxes-format:xyxysc;0:person", "Shape": [1, 6]}]
    })");
    writeText(site / "models/update-detector" / kModelFile,
              R"({"outputs": [{"name": "bboxes-format:xyxysc;0:person", "shape": [1, 6],
                               "values": [40, 60, 120, 300, 0.9, 0]}]})");
    const std::string pipeline =
        R"("models": ["update-detector"],
           "pipelines": [{"modelUUID": "update-detector", "modelNMS": 0.45, "resizingMethod": "Letterbox",
                          "chains": []}])";
    writeText(
        site / "defaults/default.json", R"({"PluginEnabled": true, "deviceAdmin": "{cloud}/device/{deviceId}",
        "selectedPipeline": "people", )" + pipeline +
                                            "}");
    writeText(site / "pipelines/default.json", R"([{"uuid": "people", "name": "People", )" + pipeline + "}]");
}

int64_t secondsSinceEpoch(fs::file_time_type time) {
    return std::chrono::duration_cast<std::chrono::seconds>(
               std::chrono::file_clock::to_sys(time).time_since_epoch())
        .count();
}

TEST(ModelUpdate, ANewLastModifiedDownloadsTheModelAgainAndRestartsInferenceOnce) {
    acceltest::ScratchDir site("vek-update-site");
    writeSite(site.path);
    SiteRun run(site.path);
    ASSERT_TRUE(run.started);
    ASSERT_TRUE(run.startHost(1));
    const int camera = run.cameras[0];
    run.activate(camera);
    run.feedFrames();
    const auto objectPackets = [&] { return run.recorder->statistics(camera).objectPackets; };
    ASSERT_TRUE(waitFor(60s, [&] { return objectPackets() > 0; })) << pluginLog(run.workDir());

    const auto downloads = [&] { return requestsTo(*run.cloud, kStoragePath); };
    const auto starts = [&] {
        return occurrences(pluginLog(run.workDir()), "Runtime initialized sucessfully.");
    };
    const auto processedPasses = [&] {
        return occurrences(pluginLog(run.workDir()), "Detected change in devices parameters.");
    };
    ASSERT_EQ(downloads(), 1u);
    ASSERT_EQ(starts(), 1u);

    // The cloud's file becomes newer than the plugin's cached copy, on a whole second after it.
    const fs::path cached = run.workDir() / "cache" / "model_files" / kModelFile;
    ASSERT_TRUE(fs::exists(cached));
    const int64_t cachedAt = secondsSinceEpoch(fs::last_write_time(cached));
    ASSERT_TRUE(waitFor(5s, [&] { return secondsSinceEpoch(fs::file_time_type::clock::now()) > cachedAt; }));
    fs::last_write_time(site.path / "models/update-detector" / kModelFile, fs::file_time_type::clock::now());

    // The user resets the camera; the cloud's defaults now carry the new "LastModified".
    const std::string before = run.host->restApi().parametersOf(run.cameraId(camera));
    auto pressed = run.host->pressDeviceButton(camera, "resetSingleDeviceButton");
    ASSERT_TRUE(pressed) << pressed.error();
    ASSERT_TRUE(
        waitFor(30s, [&] { return run.host->restApi().parametersOf(run.cameraId(camera)) != before; }));
    EXPECT_TRUE(waitFor(30s, [&] { return downloads() == 2 && starts() == 2; }))
        << downloads() << " downloads, " << starts() << " starts\n"
        << pluginLog(run.workDir());
    const int64_t packetsAfterRestart = objectPackets();
    EXPECT_TRUE(waitFor(30s, [&] { return objectPackets() > packetsAfterRestart; }))
        << "inference runs again with the new model";

    // Two more passes that process the same models: the second begins only when the first has ended.
    const size_t passes = processedPasses();
    for (int press = 0; press < 2; ++press) {
        auto retried = run.host->pressDeviceButton(camera, "modelDownloadRetryButton");
        ASSERT_TRUE(retried) << retried.error();
        ASSERT_TRUE(waitFor(30s, [&] { return processedPasses() >= passes + press + 1; }));
    }
    EXPECT_EQ(downloads(), 2u);
    EXPECT_EQ(starts(), 2u);
}

}  // namespace
}  // namespace sitetest
