// The real plugin in the reference host, connected to the local cloud in-process, on a machine that
// offers only the "Generic CPU" runtime, whose package in the cloud's store is the reference runtime.
#pragma once

#include <gtest/gtest.h>

#include <rapidjson/document.h>
#include <stdlib.h>
#include <vektest/wait.h>

#include <vekcloud/local_cloud.h>
#include <vekhost/camera_feeder.h>
#include <vekhost/pattern_source.h>
#include <vekhost/plugin_host.h>
#include <vekhost/run_command.h>
#include <chrono>
#include <filesystem>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "fake_machine.h"

namespace sitetest {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using vektest::readText;
using vektest::writeText;

using vektest::waitFor;

// One metadata packet as the host wrote it.
struct Packet {
    std::string camera;
    std::string type;
    // typeId of each object or event.
    std::vector<std::string> typeIds;
    std::vector<std::string> descriptions;
    // "typeId:name=value" of every object attribute.
    std::vector<std::string> attributes;
};

inline std::vector<Packet> readPackets(const fs::path& path) {
    std::vector<Packet> packets;
    std::istringstream lines(readText(path));
    std::string line;
    while (std::getline(lines, line)) {
        rapidjson::Document document;
        if (document.Parse(line.c_str()).HasParseError() || !document.IsObject())
            continue;
        Packet packet;
        packet.camera = document["camera"].GetString();
        packet.type = document["type"].GetString();
        for (const char* kind : {"objects", "events"}) {
            const auto items = document.FindMember(kind);
            if (items == document.MemberEnd() || !items->value.IsArray())
                continue;
            for (const auto& item : items->value.GetArray()) {
                const std::string typeId = item["typeId"].IsString() ? item["typeId"].GetString() : "";
                packet.typeIds.push_back(typeId);
                if (item.HasMember("description") && item["description"].IsString())
                    packet.descriptions.emplace_back(item["description"].GetString());
                if (!item.HasMember("attributes") || !item["attributes"].IsArray())
                    continue;
                for (const auto& attribute : item["attributes"].GetArray()) {
                    if (attribute["name"].IsString() && attribute["value"].IsString())
                        packet.attributes.push_back(typeId + ":" + attribute["name"].GetString() + "=" +
                                                    attribute["value"].GetString());
                }
            }
        }
        packets.push_back(std::move(packet));
    }
    return packets;
}

// The plugin's log lines so far, from the start log and the rotating logs after it.
inline std::string pluginLog(const fs::path& workDir) {
    return readText(workDir / "vekai_plugin_start.log") + readText(workDir / "vekai_plugin.log.old") +
           readText(workDir / "vekai_plugin.log");
}

inline size_t occurrences(const std::string& text, const std::string& needle) {
    size_t found = 0;
    for (auto at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1))
        ++found;
    return found;
}

inline size_t requestsTo(const vekcloud::LocalCloud& cloud, const std::string& path) {
    size_t count = 0;
    for (const auto& request : cloud.requests())
        count += request.path == path ? 1 : 0;
    return count;
}

// Everything one scenario needs: the machine, the cloud serving `site`, the plugin's configuration
// and the host with cameras of the server "sample-server". The configuration file is read once per
// process, so a test program holds one scenario.
class SiteRun {
public:
    static constexpr const char* kServerId = "sample-server";
    static constexpr const char* kSystemId = "sample-site";
    static constexpr const char* kToken = "sample-token";

    explicit SiteRun(const fs::path& site) {
        machine.baseMachine();
        writeText(runtimes.path / "CPU/x86_64/Ubuntu/library.tar.gz",
                  readText(VEK_REFERENCE_RUNTIME_PACKAGE));

        vekcloud::CloudOptions options;
        options.siteDirectory = site;
        options.runtimesDirectory = runtimes.path;
        options.systemId = kSystemId;
        options.token = kToken;
        cloud = std::make_unique<vekcloud::LocalCloud>(options);
        std::string error;
        started = cloud->start(error);
        EXPECT_TRUE(started) << error;

        writeText(config.path / "vek_corvane_plugin.ini",
                  "CloudAPI=" + cloud->baseUrl() + "\nRuntimesStorageURL=" + cloud->runtimeStoreUrl() +
                      "\nlogVerbosityLevel=2\n");
        EXPECT_EQ(setenv("VEK_CONFIG_DIR", config.path.c_str(), 1), 0);
        fs::create_directories(workDir());
    }

    ~SiteRun() {
        for (auto& feeder : feeders)
            feeder->stop();
        if (host)
            host->release();
    }

    fs::path workDir() const { return data.path / "vek_corvane"; }
    fs::path packetsPath() const { return data.path / "metadata.jsonl"; }

    // Loads the plugin, obtains the engine and adds `count` cameras.
    bool startHost(int count) {
        vekhost::HostConfig hostConfig;
        hostConfig.pluginPath = VEK_PLUGIN_PATH;
        hostConfig.provider.homeDir = home.path.string();
        hostConfig.provider.dataDir = data.path.string();
        hostConfig.provider.serverId = kServerId;
        hostConfig.provider.cloudSystemId = kSystemId;
        hostConfig.provider.cloudToken = kToken;
        auto loaded = vekhost::PluginHost::load(hostConfig);
        if (!loaded) {
            ADD_FAILURE() << loaded.error();
            return false;
        }
        host = std::move(loaded.value());
        if (auto engine = host->obtainEngine(); !engine) {
            ADD_FAILURE() << engine.error();
            return false;
        }
        auto created = vekhost::MetadataRecorder::create(packetsPath());
        if (!created) {
            ADD_FAILURE() << created.error();
            return false;
        }
        recorder = created.value();
        for (int index = 0; index < count; ++index) {
            auto camera = host->addCamera(vekhost::cameraDescription(kServerId, index), recorder);
            if (!camera) {
                ADD_FAILURE() << camera.error();
                return false;
            }
            cameras.push_back(*camera);
        }
        return true;
    }

    std::string page(int camera) const {
        auto shown = host->deviceSettings(camera);
        return shown ? shown->model : std::string();
    }

    std::string cameraId(int camera) const { return host->camera(camera).id; }

    // Switches the camera on, as the user does on its settings page once the page offers it.
    void activate(int camera) {
        ASSERT_TRUE(waitFor(60s, [&] {
            return page(camera).find("deviceActiveSwitch") != std::string::npos;
        })) << page(camera);
        auto applied = host->applyDeviceSettings(camera, {{"deviceActiveSwitch", "true"}});
        ASSERT_TRUE(applied) << applied.error();
    }

    // Synthetic frames at 10 per second into every camera.
    void feedFrames() {
        for (int camera : cameras) {
            feeders.push_back(std::make_unique<vekhost::CameraFeeder>(
                *host, camera, std::make_unique<vekhost::PatternSource>(640, 480),
                vekhost::Pace{vekhost::Pace::Mode::fixedRate, 10}, std::nullopt));
            feeders.back()->start();
        }
    }

    acceltest::FakeMachine machine;
    acceltest::ScratchDir runtimes{"vek-site-runtimes"};
    acceltest::ScratchDir config{"vek-site-config"};
    acceltest::ScratchDir home{"vek-site-home"};
    acceltest::ScratchDir data{"vek-site-data"};
    std::unique_ptr<vekcloud::LocalCloud> cloud;
    bool started = false;
    std::unique_ptr<vekhost::PluginHost> host;
    std::shared_ptr<vekhost::MetadataRecorder> recorder;
    std::vector<int> cameras;
    std::vector<std::unique_ptr<vekhost::CameraFeeder>> feeders;
};

}  // namespace sitetest
