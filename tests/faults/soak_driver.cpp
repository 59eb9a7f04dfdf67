// The long run behind scripts/soak: the real plugin in the reference host with four cameras, the local
// cloud in this process and the reference runtime, while every few seconds a camera is removed and
// added again, a setting is applied, or a camera is reset to a new model version from the cloud.
// Samples this process's memory, threads, open descriptors and /dev/shm entries, prints them as a
// table and says whether they stay flat. Usage: plugin_soak MINUTES
#include <vekcloud/local_cloud.h>
#include <vekhost/pattern_source.h>
#include <vekhost/plugin_host.h>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <malloc.h>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

void writeFile(const fs::path& path, const std::string& text) {
    fs::create_directories(path.parent_path());
    std::ofstream(path) << text;
}

struct Sample {
    double minutes = 0;
    long rssKb = 0;
    long heapKb = 0;
    int threads = 0;
    int fds = 0;
    int shm = 0;
    int64_t objects = 0;
};

// Bytes the program holds from the allocator: growth here is memory kept, growth of RSS alone is the
// allocator's own reserve and fragmentation.
long heapInUseKb() {
    const struct mallinfo2 info = mallinfo2();
    return static_cast<long>((info.uordblks + info.hblkhd) / 1024);
}

int entries(const fs::path& directory) {
    std::error_code error;
    int count = 0;
    for (fs::directory_iterator it(directory, error), end; !error && it != end; it.increment(error))
        ++count;
    return count;
}

// /dev/shm files this process has mapped (the machine's other /dev/shm users are not counted).
int mappedShmFiles() {
    std::ifstream maps("/proc/self/maps");
    std::set<std::string> files;
    for (std::string line; std::getline(maps, line);) {
        const auto at = line.find("/dev/shm/");
        if (at != std::string::npos)
            files.insert(line.substr(at));
    }
    return static_cast<int>(files.size());
}

long rssKb() {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("VmRSS:", 0) == 0)
            return std::strtol(line.c_str() + 6, nullptr, 10);
    }
    return 0;
}

std::string modelDescription(const std::string& model) {
    return R"({"Name":"Detector","Downloads":[{"RuntimeArchitecture":"application/x-onnx","File":")" + model +
           R"(.json"}],"InputDriverDetails":{"width":64,"height":64,"channels":3,"vars":[255.0,255.0,255.0],)"
           R"("means":[0.0,0.0,0.0],"order":0},"NamedInput":[{"DataType":"float32","Name":"images","Shape":[1,3,64,64]}],)"
           R"("NamedOutput":[{"DataType":"float32","Name":"bboxes-format:xyxysc;0:person","Shape":[1,1,6]}]})";
}

std::string deviceConfiguration(const std::string& model, const std::string& extra = "") {
    return "{" + extra +
           R"("PluginEnabled":true,"deviceAdmin":"{cloud}/system/{systemId}/device/{deviceId}",)"
           R"("selectedPipeline":"detection","models":[")" +
           model + R"("],"pipelines":[{"modelUUID":")" + model +
           R"(","modelNMS":0.45,"resizingMethod":"Stretch","chains":[]}]})";
}

void writeModel(const fs::path& site, const std::string& model) {
    writeFile(site / "models" / model / "model.json", modelDescription(model));
    const fs::path file = site / "models" / model / (model + ".json");
    writeFile(file, R"({"outputs":[{"name":"bboxes-format:xyxysc;0:person","type":1,"shape":[1,1,6],)"
                    R"("values":[4,16,28,48,0.9,0]}]})");
    fs::last_write_time(file, fs::file_time_type::clock::now());
}

}  // namespace

int main(int argc, char** argv) {
    const double minutes = argc > 1 ? std::atof(argv[1]) : 30.0;
    if (minutes <= 0) {
        std::fprintf(stderr, "usage: plugin_soak MINUTES\n");
        return 2;
    }
    const fs::path root = fs::temp_directory_path() / ("vek-soak-" + std::to_string(getpid()));
    fs::remove_all(root);
    const fs::path site = root / "site";
    const fs::path data = root / "data";
    fs::create_directories(root / "home");
    fs::create_directories(root / "runtimes");

    const std::vector<std::string> ids = {
        "0123abcd-4567-89ef-0a1b-2c3d4e5f5001", "0123abcd-4567-89ef-0a1b-2c3d4e5f5002",
        "0123abcd-4567-89ef-0a1b-2c3d4e5f5003", "0123abcd-4567-89ef-0a1b-2c3d4e5f5004"};
    for (size_t i = 0; i < ids.size(); ++i) {
        const std::string model = "soak-" + std::to_string(i);
        writeModel(site, model);
        writeFile(site / "defaults" / (ids[i] + ".json"), deviceConfiguration(model));
        writeFile(site / "pipelines" / (ids[i] + ".json"),
                  "[" + deviceConfiguration(model, R"("uuid":"detection","name":"Detection",)") + "]");
    }

    vekcloud::CloudOptions options;
    options.siteDirectory = site;
    options.runtimesDirectory = root / "runtimes";
    options.systemId = "soak-site";
    options.token = "soak-token";
    vekcloud::LocalCloud cloud(options);
    std::string error;
    if (!cloud.start(error)) {
        std::fprintf(stderr, "soak: the local cloud did not start: %s\n", error.c_str());
        return 1;
    }
    writeFile(root / "config" / "vek_corvane_plugin.ini",
              "CloudAPI=" + cloud.baseUrl() + "\nRuntimesStorageURL=" + cloud.runtimeStoreUrl() +
                  "\nlogVerbosityLevel=1\nHTTPRequestTimeout=2\n");
    setenv("VEK_CONFIG_DIR", (root / "config").c_str(), 1);
    const fs::path engineDir = data / "vek_corvane" / "inference_engine";
    fs::create_directories(engineDir);
    fs::copy_file(VEK_REFERENCE_RUNTIME, engineDir / "libRuntimeLibrary.so");
    writeFile(engineDir / "installed_runtime.txt", "Generic CPU");

    vekhost::HostConfig config;
    config.pluginPath = VEK_PLUGIN_PATH;
    config.provider.homeDir = (root / "home").string();
    config.provider.dataDir = data.string();
    config.provider.serverId = "6a1b2c3d-0000-4000-8000-00000000500a";
    config.provider.cloudSystemId = "soak-site";
    config.provider.cloudToken = "soak-token";
    auto loaded = vekhost::PluginHost::load(config);
    if (!loaded || !loaded.value()->obtainEngine()) {
        std::fprintf(stderr, "soak: the plugin did not load\n");
        return 1;
    }
    auto& host = *loaded.value();
    auto recorder = vekhost::MetadataRecorder::create(std::nullopt).value();
    std::vector<int> cameras(ids.size(), -1);
    std::mutex camerasMutex;
    for (size_t i = 0; i < ids.size(); ++i)
        cameras[i] = host.addCamera({ids[i], "Soak " + std::to_string(i)}, recorder).value();

    // Ten frames a second to every camera; a camera being replaced is skipped.
    std::jthread feeder([&](std::stop_token stop) {
        vekhost::PatternSource source(320, 240);
        while (!stop.stop_requested()) {
            {
                std::lock_guard lock(camerasMutex);
                for (int camera : cameras) {
                    auto next = source.next();
                    if (next.state != vekhost::NextFrame::State::frame)
                        continue;
                    next.frame.frame->setTimestampUs(vekhost::wallClockUs());
                    host.pushFrame(camera, *next.frame.frame);
                }
            }
            std::this_thread::sleep_for(100ms);
        }
    });

    const auto start = Clock::now();
    const auto end = start + std::chrono::milliseconds(static_cast<int64_t>(minutes * 60000));
    const auto sampleEvery =
        std::chrono::milliseconds(std::max<int64_t>(5000, static_cast<int64_t>(minutes * 2000)));
    auto nextSample = start;
    std::printf("%8s %10s %10s %8s %6s %6s %10s\n", "minutes", "RSS kB", "heap kB", "threads", "fds", "shm",
                "objects");
    std::vector<Sample> samples;
    int step = 0;
    int64_t recordedCameras = static_cast<int64_t>(ids.size());
    while (Clock::now() < end) {
        const size_t which = static_cast<size_t>(step) % ids.size();
        switch (step % 4) {
            case 0: {  // agent churn: the camera goes and comes back
                std::lock_guard lock(camerasMutex);
                host.removeCamera(cameras[which]);
                auto added = host.addCamera({ids[which], "Soak " + std::to_string(which)}, recorder);
                if (added)
                    cameras[which] = added.value();
                ++recordedCameras;
                break;
            }
            case 1:  // a settings change, as the user's Apply
                host.applyDeviceSettings(cameras[which],
                                         {{"deviceActiveSwitch", step % 8 < 4 ? "true" : "false"}});
                break;
            case 2:  // switched on again, with a page built on the way
                host.deviceSettings(cameras[which]);
                host.applyDeviceSettings(cameras[which], {{"deviceActiveSwitch", "true"}});
                break;
            case 3:  // reconfiguration: a new model version from the cloud, which restarts the runtime
                writeModel(site, "soak-" + std::to_string(which));
                host.pressDeviceButton(cameras[which], "resetSingleDeviceButton");
                break;
        }
        ++step;
        if (Clock::now() >= nextSample) {
            Sample sample;
            sample.minutes = std::chrono::duration<double>(Clock::now() - start).count() / 60.0;
            sample.rssKb = rssKb();
            sample.heapKb = heapInUseKb();
            sample.threads = entries("/proc/self/task");
            sample.fds = entries("/proc/self/fd");
            sample.shm = mappedShmFiles();
            int64_t total = 0;
            for (int64_t i = 0; i < recordedCameras; ++i)
                total += recorder->statistics(static_cast<int>(i)).objects;
            sample.objects = total;
            samples.push_back(sample);
            std::printf("%8.2f %10ld %10ld %8d %6d %6d %10lld\n", sample.minutes, sample.rssKb, sample.heapKb,
                        sample.threads, sample.fds, sample.shm, static_cast<long long>(sample.objects));
            std::fflush(stdout);
            nextSample += sampleEvery;
        }
        std::this_thread::sleep_for(3s);
    }
    feeder.request_stop();
    feeder.join();
    host.release();
    cloud.stop();

    // Flat: after the first fifth (start-up, first downloads), the last third's peaks stay within a
    // small margin of the middle's.
    bool flat = samples.size() >= 6;
    if (flat) {
        const size_t from = samples.size() / 5;
        const size_t lastThird = samples.size() - samples.size() / 3;
        Sample early{}, late{};
        for (size_t i = from; i < lastThird; ++i) {
            early.rssKb = std::max(early.rssKb, samples[i].rssKb);
            early.heapKb = std::max(early.heapKb, samples[i].heapKb);
            early.threads = std::max(early.threads, samples[i].threads);
            early.fds = std::max(early.fds, samples[i].fds);
            early.shm = std::max(early.shm, samples[i].shm);
        }
        for (size_t i = lastThird; i < samples.size(); ++i) {
            late.rssKb = std::max(late.rssKb, samples[i].rssKb);
            late.heapKb = std::max(late.heapKb, samples[i].heapKb);
            late.threads = std::max(late.threads, samples[i].threads);
            late.fds = std::max(late.fds, samples[i].fds);
            late.shm = std::max(late.shm, samples[i].shm);
        }
        std::printf(
            "peaks, middle -> last third: RSS %ld -> %ld kB, heap in use %ld -> %ld kB, threads %d -> %d, "
            "fds %d -> %d, /dev/shm %d -> %d\n",
            early.rssKb, late.rssKb, early.heapKb, late.heapKb, early.threads, late.threads, early.fds,
            late.fds, early.shm, late.shm);
        flat = late.rssKb <= early.rssKb + early.rssKb / 10 &&
               late.heapKb <= early.heapKb + early.heapKb / 10 && late.threads <= early.threads + 4 &&
               late.fds <= early.fds + 4 && late.shm <= early.shm;
    }
    const bool detected = !samples.empty() && samples.back().objects > 0;
    std::printf("verdict: %s%s\n", samples.size() < 6 ? "too few samples" : (flat ? "flat" : "growing"),
                detected ? "" : " (no objects were detected)");
    std::error_code ignored;
    fs::remove_all(root, ignored);
    return flat && detected ? 0 : 1;
}
