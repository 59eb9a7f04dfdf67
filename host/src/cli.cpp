#include <vekhost/cli.h>

#include <rapidjson/document.h>
#include <rapidjson/error/en.h>

#include <vekhost/command_line.h>
#include <vekhost/host_log.h>
#include <vekhost/page_notices.h>
#include <vekhost/plugin_host.h>
#include <vekhost/run_command.h>
#include <chrono>
#include <thread>

namespace vekhost {
namespace {

constexpr int kExitSuccess = 0;
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

// A manifest the server cannot parse is the plugin's failure, not something to pass on.
Status checkJson(const std::string& what, const std::string& text) {
    rapidjson::Document document;
    document.Parse(text.c_str(), text.size());
    if (document.HasParseError())
        return Failure{what + " is not valid JSON: " + rapidjson::GetParseError_En(document.GetParseError()) +
                       " at offset " + std::to_string(document.GetErrorOffset())};
    return success();
}

Outcome<std::string> manifestOf(PluginHost& host, CommandLine::Command command) {
    if (command == CommandLine::Command::manifest)
        return host.pluginManifest();
    if (Status engine = host.obtainEngine(); !engine)
        return Failure{engine.error()};
    if (command == CommandLine::Command::engineManifest)
        return host.engineManifest();
    if (command == CommandLine::Command::engineSettings)
        return host.engineSettingsModel();
    auto recorder = MetadataRecorder::create(std::nullopt);
    if (!recorder)
        return Failure{recorder.error()};
    auto camera = host.addCamera(cameraDescription(host.utilityProvider().settings().serverId, 0), *recorder);
    if (!camera)
        return Failure{camera.error()};
    return host.deviceManifest(*camera);
}

Status printManifest(PluginHost& host, CommandLine::Command command, std::ostream& out) {
    auto manifest = manifestOf(host, command);
    host.release();
    if (!manifest)
        return Failure{manifest.error()};
    const char* what = command == CommandLine::Command::manifest         ? "the plugin manifest"
                       : command == CommandLine::Command::engineManifest ? "the engine manifest"
                       : command == CommandLine::Command::engineSettings ? "the engine settings model"
                                                                         : "the device agent manifest";
    if (manifest->empty())
        return Failure{std::string(what) + " is empty"};
    if (Status valid = checkJson(what, *manifest); !valid)
        return Failure{valid.error() + "\n" + *manifest};
    out << *manifest << "\n";
    out.flush();
    return success();
}

// Presses, then changes, then the page: each printed after a header line.
Status deviceSettingsSession(PluginHost& host, const DeviceSettingsOptions& options, std::ostream& out,
                             const std::atomic<bool>* interrupt) {
    if (Status engine = host.obtainEngine(); !engine)
        return engine;
    auto recorder = MetadataRecorder::create(std::nullopt);
    if (!recorder)
        return Failure{recorder.error()};
    auto camera = host.addCamera(
        cameraDescription(host.utilityProvider().settings().serverId, options.camera), *recorder);
    if (!camera)
        return Failure{camera.error()};
    const auto until = std::chrono::steady_clock::now() + std::chrono::duration<double>(options.waitSeconds);
    NoticeReporter notices;
    auto nextLook = std::chrono::steady_clock::now();
    while (std::chrono::steady_clock::now() < until && !(interrupt && interrupt->load())) {
        // Downloads the engine makes meanwhile show their progress on the page.
        if (std::chrono::steady_clock::now() >= nextLook) {
            if (auto page = host.deviceSettings(*camera))
                notices.report(host.camera(*camera).name, page->model);
            nextLook = std::chrono::steady_clock::now() + std::chrono::milliseconds(500);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }

    // The user acts on a page the server has shown: showing it is what makes the plugin fetch the
    // pipelines a device may switch to.
    if (auto shown = host.deviceSettings(*camera); !shown)
        return Failure{shown.error()};

    const auto print = [&](const std::string& header, const DeviceSettingsPage& page) {
        out << "# " << header << "\n" << pageJson(page) << "\n";
        out.flush();
    };
    for (const auto& name : options.presses) {
        auto pressed = host.pressDeviceButton(*camera, name);
        if (!pressed)
            return Failure{pressed.error()};
        print("press " + name, *pressed);
    }
    if (!options.changes.empty()) {
        auto applied = host.applyDeviceSettings(*camera, options.changes);
        if (!applied)
            return Failure{applied.error()};
        print("apply", *applied);
    }
    auto page = host.deviceSettings(*camera);
    if (!page)
        return Failure{page.error()};
    if (Status valid = checkJson("the device settings model", page->model); !valid)
        return Failure{valid.error() + "\n" + page->model};
    print("page", *page);
    return success();
}

Status prepareDirectories(const UtilityProviderSettings& settings) {
    std::error_code error;
    std::filesystem::create_directories(settings.dataDir, error);
    if (error)
        return Failure{"cannot create the data directory " + settings.dataDir + ": " + error.message()};
    return success();
}

}  // namespace

int runCommandLine(const std::vector<std::string>& arguments, std::ostream& out, std::ostream& err,
                   const std::atomic<bool>* interrupt) {
    auto commandLine = parseCommandLine(arguments);
    if (!commandLine) {
        err << "vekhost: " << commandLine.error() << "\nRun 'vekhost --help' for usage.\n";
        return kExitUsage;
    }
    if (commandLine->command == CommandLine::Command::help) {
        out << usageText();
        return kExitSuccess;
    }
    setLogThreshold(commandLine->verbose ? LogLevel::verbose : LogLevel::info);

    Status outcome = prepareDirectories(commandLine->host.provider);
    if (outcome) {
        auto host = PluginHost::load(commandLine->host);
        if (!host)
            outcome = Failure{host.error()};
        else if (commandLine->command == CommandLine::Command::run)
            outcome = runCameras(**host, commandLine->run, out, interrupt);
        else if (commandLine->command == CommandLine::Command::deviceSettings) {
            outcome = deviceSettingsSession(**host, commandLine->settings, out, interrupt);
            (*host)->release();
        } else
            outcome = printManifest(**host, commandLine->command, out);
    }
    if (!outcome) {
        err << "vekhost: error: " << outcome.error() << "\n";
        return kExitFailure;
    }
    return kExitSuccess;
}

}  // namespace vekhost
