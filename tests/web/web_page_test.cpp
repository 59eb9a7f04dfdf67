// The page vekhost serves: its API answers and refuses as it should, and in a real browser the page
// shows one tile per camera with its annotated frame and hands a pressed settings button to the
// plugin through the host.
#include <gtest/gtest.h>
#include <httplib.h>

#include <vekhost/command_line.h>
#include <vekhost/frame_annotator.h>
#include <vekhost/page_notices.h>
#include <vekhost/plugin_host.h>
#include <vekhost/run_command.h>
#include <vekhost/web_host_backend.h>
#include <vektest/files.h>
#include <vektest/temp_dir.h>
#include <cstdlib>
#include <mutex>

#include "headless_chromium.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// The host's backend, with every press remembered.
class RecordingBackend : public vekhost::WebBackend {
public:
    explicit RecordingBackend(vekhost::WebBackend& inner) : inner(inner) {}
    int cameraCount() override { return inner.cameraCount(); }
    std::vector<vekhost::CameraTile> cameras() override { return inner.cameras(); }
    std::shared_ptr<const vekhost::VideoFrame> latestFrame(int camera) override {
        return inner.latestFrame(camera);
    }
    vekhost::Outcome<vekhost::DeviceSettingsPage> settings(int camera) override {
        return inner.settings(camera);
    }
    vekhost::Outcome<vekhost::DeviceSettingsPage> press(int camera, const std::string& name) override {
        {
            std::lock_guard lock(mutex);
            presses.push_back(std::to_string(camera) + ":" + name);
        }
        return inner.press(camera, name);
    }
    vekhost::Outcome<vekhost::DeviceSettingsPage> apply(int camera,
                                                        const vekhost::SettingValues& changes) override {
        return inner.apply(camera, changes);
    }
    std::vector<std::string> pressed() {
        std::lock_guard lock(mutex);
        return presses;
    }

private:
    vekhost::WebBackend& inner;
    std::mutex mutex;
    std::vector<std::string> presses;
};

// The real plugin without a cloud, two cameras, the recovery buttons shown; camera 1 has an annotated
// frame, camera 2 none yet.
class WebPageTest : public ::testing::Test {
protected:
    void SetUp() override {
        vektest::writeText(config.path / "vek_corvane_plugin.ini", "alwaysShowRecoveryButtons=true\n");
        ASSERT_EQ(setenv("VEK_CONFIG_DIR", config.path.c_str(), 1), 0);
        vekhost::HostConfig hostConfig;
        hostConfig.pluginPath = VEK_PLUGIN_PATH;
        hostConfig.provider.homeDir = data.path.string();
        hostConfig.provider.dataDir = (data.path / "data").string();
        hostConfig.provider.serverId = "6a1b2c3d-0000-4000-8000-00000000e1e0";
        fs::create_directories(hostConfig.provider.dataDir);
        auto loaded = vekhost::PluginHost::load(hostConfig);
        ASSERT_TRUE(loaded) << loaded.error();
        host = std::move(loaded.value());
        ASSERT_TRUE(host->obtainEngine());
        auto recorder = vekhost::MetadataRecorder::create(std::nullopt);
        ASSERT_TRUE(recorder);
        for (int camera = 0; camera < 2; ++camera)
            ASSERT_TRUE(
                host->addCamera(vekhost::cameraDescription(hostConfig.provider.serverId, camera), *recorder));

        annotator = std::make_shared<vekhost::FrameAnnotator>(data.path / "frames", 1s);
        vekhost::VideoFrame frame(64, 48);
        frame.setTimestampUs(1000);
        annotator->offerFrame(host->camera(0).id, frame);
        annotator->offerObjectPacket(
            host->camera(0).id, 1000,
            R"({"objects":[{"typeId":"vek.base.Person","trackId":"abcd","box":{"x":0.1,"y":0.1,"w":0.5,"h":0.5}}]})");

        hostBackend = std::make_unique<vekhost::HostWebBackend>(*host, annotator, [this] {
            std::vector<vekhost::CameraTile> tiles(2);
            for (int camera = 0; camera < 2; ++camera) {
                tiles[static_cast<size_t>(camera)].id = host->camera(camera).id;
                tiles[static_cast<size_t>(camera)].name = host->camera(camera).name;
                tiles[static_cast<size_t>(camera)].framesIn = 10 + camera;
            }
            tiles[0].notices = {"Model NanoDet is downloading: (42%)"};
            return tiles;
        });
        backend = std::make_unique<RecordingBackend>(*hostBackend);
        auto started = vekhost::WebServer::start(*backend, 0);
        ASSERT_TRUE(started) << started.error();
        server = std::move(started.value());
    }

    void TearDown() override {
        server.reset();
        if (host)
            host->release();
    }

    vektest::TempDir config{"vek-web-config"};
    vektest::TempDir data{"vek-web-data"};
    std::unique_ptr<vekhost::PluginHost> host;
    std::shared_ptr<vekhost::FrameAnnotator> annotator;
    std::unique_ptr<vekhost::HostWebBackend> hostBackend;
    std::unique_ptr<RecordingBackend> backend;
    std::unique_ptr<vekhost::WebServer> server;
};

TEST_F(WebPageTest, ApiAnswersAndRefusesBadRequests) {
    const std::string address = server->address();
    ASSERT_EQ(address.rfind("http://127.0.0.1:", 0), 0u) << address;
    httplib::Client client(address.substr(0, address.size() - 1));

    struct Case {
        const char* method;
        const char* path;
        const char* body;
        int status;
        const char* contains;
    };
    const Case cases[] = {
        {"GET", "/", "", 200, "<script src=\"app.js\">"},
        {"GET", "/app.js", "", 200, "renderItem"},
        {"GET", "/api/cameras", "", 200, "\"name\":\"Camera 2\""},
        {"GET", "/api/cameras/0/frame.bmp", "", 200, "BM"},
        {"GET", "/api/cameras/1/frame.bmp", "", 404, ""},
        {"GET", "/api/cameras/2/settings", "", 400, "no such camera"},
        {"GET", "/api/cameras/0/settings", "", 200, "resetSingleDeviceButton"},
        {"POST", "/api/cameras/0/press", "not json", 400, "not a JSON object"},
        {"POST", "/api/cameras/0/press", "{\"name\":7}", 400, "the press needs the button"},
        {"POST", "/api/cameras/0/apply", "{\"values\":{\"deviceActiveSwitch\":true}}", 400, "not a string"},
        {"POST", "/api/cameras/9/apply", "{\"values\":{}}", 400, "no such camera"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.method) + " " + c.path);
        auto answer = std::string(c.method) == "GET" ? client.Get(c.path)
                                                     : client.Post(c.path, c.body, "application/json");
        ASSERT_TRUE(answer);
        EXPECT_EQ(answer->status, c.status);
        EXPECT_NE(answer->body.find(c.contains), std::string::npos) << answer->body.substr(0, 300);
    }
    EXPECT_TRUE(backend->pressed().empty()) << "a refused press reached the plugin";

    // The annotated frame as a browser gets it: 64x48, 24 bits, rows padded to four bytes.
    auto frame = client.Get("/api/cameras/0/frame.bmp");
    ASSERT_TRUE(frame);
    EXPECT_EQ(frame->body.size(), 54u + 64u * 3u * 48u);
    EXPECT_EQ(frame->get_header_value("Content-Type"), "image/bmp");
}

TEST_F(WebPageTest, HeadlessChromiumShowsTheTilesAndPressesASettingsButton) {
    const auto program = webtest::HeadlessChromium::program();
    if (!program)
        GTEST_SKIP() << "Chromium is not installed (/usr/bin/chromium, or VEK_CHROMIUM): install Debian's "
                        "chromium package (scripts/install-deps does) to test the web page in a browser";
    vektest::TempDir profile("vek-web-chromium");
    webtest::HeadlessChromium browser(*program, profile.path);
    ASSERT_TRUE(browser.running()) << browser.error();
    ASSERT_TRUE(browser.open(server->address())) << browser.error();

    // Waits in the page until the tiles have their counters and camera 1 its picture.
    const auto tiles = browser.evaluate(R"(new Promise((resolve, reject) => {
        const started = Date.now();
        const look = () => {
            const tiles = [...document.querySelectorAll(".camera-tile")];
            const image = document.querySelector("#camera-0 img");
            if (tiles.length === 2 && image && image.naturalWidth > 0 &&
                tiles[1].querySelector(".counters").textContent.includes("frames 11")) {
                resolve({count: tiles.length, names: tiles.map(t => t.querySelector("h3").textContent),
                         width: image.naturalWidth, notice: tiles[0].querySelector(".notice").textContent});
            } else if (Date.now() - started > 20000) {
                reject(new Error("tiles not shown: " + document.body.innerHTML.slice(0, 2000)));
            } else {
                setTimeout(look, 100);
            }
        };
        look();
    }))",
                                        30s);
    ASSERT_TRUE(tiles) << browser.error();
    EXPECT_EQ(*tiles, R"({"count":2,"names":["Camera 1","Camera 2"],"width":64,)"
                      R"json("notice":"Model NanoDet is downloading: (42%)"})json");

    // Opens camera 2's settings, presses "Reset This Device" and waits for the page's answer.
    const auto pressed = browser.evaluate(R"(new Promise((resolve, reject) => {
        const started = Date.now();
        document.querySelector("#camera-1 .open-settings").click();
        let clicked = false;
        const look = () => {
            const button = document.querySelector('#settings-model button[data-name="resetSingleDeviceButton"]');
            const status = document.getElementById("status").textContent;
            if (!clicked && button) {
                button.click();
                clicked = true;
            }
            if (clicked && status.startsWith("Pressed")) {
                resolve({caption: button ? button.textContent : "", status,
                         title: document.getElementById("settings-title").textContent});
            } else if (Date.now() - started > 20000) {
                reject(new Error("no press: " + status + " " + document.getElementById("settings").innerHTML.slice(0, 2000)));
            } else {
                setTimeout(look, 100);
            }
        };
        look();
    }))",
                                          30s);
    ASSERT_TRUE(pressed) << browser.error();
    EXPECT_EQ(*pressed, R"({"caption":"Reset This Device","status":"Pressed Reset This Device.",)"
                        R"("title":"Settings of Camera 2"})");
    EXPECT_EQ(backend->pressed(), std::vector<std::string>{"1:resetSingleDeviceButton"});
}

TEST(WebPageOptions, RunTakesThePagePortItsAddressFileAndTheClipLength) {
    auto parsed = vekhost::parseCommandLine({"--plugin", "/p.so", "run", "--web-port", "0",
                                             "--web-address-file", "/tmp/a", "--clip-seconds", "4.5"});
    ASSERT_TRUE(parsed) << parsed.error();
    EXPECT_EQ(parsed->run.webPort, 0);
    EXPECT_EQ(parsed->run.webAddressFile, fs::path("/tmp/a"));
    EXPECT_DOUBLE_EQ(parsed->run.clipSeconds, 4.5);

    auto defaults = vekhost::parseCommandLine({"--plugin", "/p.so", "run"});
    ASSERT_TRUE(defaults);
    EXPECT_FALSE(defaults->run.webPort) << "no page unless asked for";
    EXPECT_DOUBLE_EQ(defaults->run.clipSeconds, 10);

    for (const char* wrong : {"65536", "-1", "http"}) {
        auto refused = vekhost::parseCommandLine({"--plugin", "/p.so", "run", "--web-port", wrong});
        ASSERT_FALSE(refused) << wrong;
        EXPECT_NE(refused.error().find("--web-port"), std::string::npos) << refused.error();
    }
    EXPECT_FALSE(vekhost::parseCommandLine({"--plugin", "/p.so", "run", "--clip-seconds", "-2"}));
}

TEST(PageNotices, TopLevelVisibleBannersAreNoticesAndAreToldOnceUntilTheyChange) {
    const std::string model = R"({"type":"Settings","items":[
        {"type":"Banner","icon":"info","text":"Downloading runtime (10%)\nPress 'Refresh'."},
        {"type":"Banner","icon":"info"},
        {"type":"Banner","icon":"info","text":"hidden","visible":false},
        {"type":"GroupBox","items":[{"type":"Banner","text":"inside a group"}]},
        {"type":"Button","name":"b","text":"not a banner"}],
        "sections":[{"type":"Section","items":[{"type":"Banner","text":"in a section"}]}]})";
    EXPECT_EQ(vekhost::pageNotices(model),
              std::vector<std::string>{"Downloading runtime (10%)\nPress 'Refresh'."});
    EXPECT_TRUE(vekhost::pageNotices("not json").empty());
    EXPECT_TRUE(vekhost::pageNotices(R"({"items":{}})").empty());

    vekhost::NoticeReporter reporter;
    EXPECT_EQ(reporter.fresh("c1", {"a (10%)", "b"}), (std::vector<std::string>{"a (10%)", "b"}));
    EXPECT_TRUE(reporter.fresh("c1", {"a (10%)", "b"}).empty());
    EXPECT_EQ(reporter.fresh("c2", {"b"}), std::vector<std::string>{"b"}) << "each camera on its own";
    EXPECT_EQ(reporter.fresh("c1", {"a (20%)", "b"}), std::vector<std::string>{"a (20%)"});
    EXPECT_EQ(reporter.fresh("c1", {"a (10%)"}), std::vector<std::string>{"a (10%)"})
        << "a notice that went away is told again when it comes back";
}

}  // namespace
