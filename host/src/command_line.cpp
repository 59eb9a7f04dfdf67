#include <vekhost/command_line.h>

#include <vekhost/stable_ids.h>
#include <charconv>
#include <cmath>
#include <functional>
#include <map>

namespace vekhost {
namespace {

constexpr int kMaxCameras = 256;
constexpr int kMaxFrameSide = 16384;

bool startsWithDashes(const std::string& argument) {
    return argument.rfind("--", 0) == 0;
}

Outcome<int64_t> parseInteger(const std::string& option, const std::string& text, int64_t minimum,
                              int64_t maximum) {
    int64_t value = 0;
    const char* end = text.data() + text.size();
    const auto [last, error] = std::from_chars(text.data(), end, value);
    if (error != std::errc() || last != end || value < minimum || value > maximum)
        return Failure{option + " needs a whole number from " + std::to_string(minimum) + " to " +
                       std::to_string(maximum) + ", not \"" + text + "\""};
    return value;
}

Outcome<double> parseNumber(const std::string& option, const std::string& text, double minimum,
                            bool minimumAllowed) {
    size_t used = 0;
    double value = 0;
    try {
        value = std::stod(text, &used);
    } catch (const std::exception&) {
        used = 0;
    }
    const bool inRange = minimumAllowed ? value >= minimum : value > minimum;
    if (used == 0 || used != text.size() || !std::isfinite(value) || !inRange)
        return Failure{option + " needs a number " + (minimumAllowed ? "of at least " : "above ") +
                       std::to_string(static_cast<int>(minimum)) + ", not \"" + text + "\""};
    return value;
}

Outcome<std::pair<int, int>> parseSize(const std::string& text) {
    const size_t separator = text.find('x');
    if (separator == std::string::npos)
        return Failure{"--synthetic needs WIDTHxHEIGHT, not \"" + text + "\""};
    auto width = parseInteger("--synthetic width", text.substr(0, separator), 2, kMaxFrameSide);
    if (!width)
        return Failure{width.error()};
    auto height = parseInteger("--synthetic height", text.substr(separator + 1), 2, kMaxFrameSide);
    if (!height)
        return Failure{height.error()};
    return std::pair{static_cast<int>(*width), static_cast<int>(*height)};
}

const std::map<std::string, CommandLine::Command> kCommands = {
    {"help", CommandLine::Command::help},
    {"manifest", CommandLine::Command::manifest},
    {"engine-manifest", CommandLine::Command::engineManifest},
    {"engine-settings", CommandLine::Command::engineSettings},
    {"device-manifest", CommandLine::Command::deviceManifest},
    {"device-settings", CommandLine::Command::deviceSettings},
    {"run", CommandLine::Command::run},
};

class Parser {
public:
    explicit Parser(const std::vector<std::string>& arguments) : arguments(arguments) {}

    Outcome<CommandLine> parse() {
        bool commandSeen = false;
        bool syntheticGiven = false;
        std::optional<std::string> homeDir, dataDir, serverId;
        while (position < arguments.size()) {
            const std::string argument = arguments[position++];
            if (argument == "--help" || argument == "-h") {
                result.command = CommandLine::Command::help;
                return result;
            }
            if (!startsWithDashes(argument)) {
                if (commandSeen)
                    return Failure{"unexpected argument \"" + argument + "\""};
                const auto found = kCommands.find(argument);
                if (found == kCommands.end())
                    return Failure{"unknown command \"" + argument + "\""};
                result.command = found->second;
                commandSeen = true;
                continue;
            }
            Status handled = success();
            if (argument == "--verbose") {
                result.verbose = true;
            } else if (argument == "--plugin") {
                handled = withValue(argument, assignTo(result.host.pluginPath));
            } else if (argument == "--home") {
                handled = withValue(argument, assignTo(homeDir));
            } else if (argument == "--data-dir") {
                handled = withValue(argument, assignTo(dataDir));
            } else if (argument == "--cloud-token") {
                handled = withValue(argument, assignTo(result.host.provider.cloudToken));
            } else if (argument == "--server-id") {
                handled = withValue(argument, assignTo(serverId));
            } else if (argument == "--cloud-system-id") {
                handled = withValue(argument, assignTo(result.host.provider.cloudSystemId));
            } else if (argument == "--test-option") {
                handled = withValue(argument, [&](const std::string& v) { return testOption(argument, v); });
            } else if (commandSeen && result.command == CommandLine::Command::deviceSettings) {
                handled = settingsOption(argument);
            } else if (!commandSeen || result.command != CommandLine::Command::run) {
                return Failure{"unknown option " + argument +
                               (commandSeen ? "" : " (run options go after the run command)")};
            } else if (argument == "--cameras") {
                handled = withValue(argument, [&](const std::string& v) -> Status {
                    auto value = parseInteger(argument, v, 1, kMaxCameras);
                    if (!value)
                        return Failure{value.error()};
                    result.run.cameras = static_cast<int>(*value);
                    return success();
                });
            } else if (argument == "--video") {
                handled = videos(argument);
            } else if (argument == "--synthetic") {
                handled = withValue(argument, [&](const std::string& v) { return synthetic(v); });
                syntheticGiven = true;
            } else if (argument == "--frames") {
                handled = withValue(argument, [&](const std::string& v) -> Status {
                    auto value = parseInteger(argument, v, 1, INT64_MAX);
                    if (!value)
                        return Failure{value.error()};
                    result.run.frames = *value;
                    return success();
                });
            } else if (argument == "--seconds") {
                handled = withValue(argument, number(argument, 0, false, result.run.seconds));
            } else if (argument == "--fps") {
                handled = withValue(argument, number(argument, 0, true, result.run.framesPerSecond));
            } else if (argument == "--drain") {
                std::optional<double> drain;
                handled = withValue(argument, number(argument, 0, true, drain));
                result.run.drainSeconds = drain.value_or(result.run.drainSeconds);
            } else if (argument == "--loop") {
                result.run.loop = true;
            } else if (argument == "--metadata-out") {
                handled = withValue(argument, assignTo(result.run.metadataOut));
            } else if (argument == "--frames-out") {
                handled = withValue(argument, assignTo(result.run.framesOut));
            } else if (argument == "--frame-interval") {
                std::optional<double> interval;
                handled = withValue(argument, number(argument, 0, false, interval));
                result.run.frameIntervalSeconds = interval.value_or(result.run.frameIntervalSeconds);
            } else if (argument == "--clip-seconds") {
                std::optional<double> clip;
                handled = withValue(argument, number(argument, 0, true, clip));
                result.run.clipSeconds = clip.value_or(result.run.clipSeconds);
            } else if (argument == "--web-port") {
                handled = withValue(argument, [&](const std::string& v) -> Status {
                    auto value = parseInteger(argument, v, 0, 65535);
                    if (!value)
                        return Failure{value.error()};
                    result.run.webPort = static_cast<int>(*value);
                    return success();
                });
            } else if (argument == "--web-address-file") {
                handled = withValue(argument, assignTo(result.run.webAddressFile));
            } else {
                return Failure{"unknown option " + argument};
            }
            if (!handled)
                return Failure{handled.error()};
        }
        if (!commandSeen)
            return Failure{"no command given"};
        if (result.command == CommandLine::Command::help)
            return result;
        if (result.host.pluginPath.empty())
            return Failure{"--plugin PATH is required"};
        if (syntheticGiven && !result.run.videos.empty())
            return Failure{"--video and --synthetic exclude each other"};
        return resolveDefaults(homeDir, dataDir, serverId);
    }

private:
    using Apply = std::function<Status(const std::string&)>;

    Status withValue(const std::string& option, const Apply& apply) {
        if (position >= arguments.size() || startsWithDashes(arguments[position]))
            return Failure{option + " needs a value"};
        return apply(arguments[position++]);
    }

    template <class Target>
    static Apply assignTo(Target& target) {
        return [&target](const std::string& value) {
            target = Target(value);
            return success();
        };
    }

    static Apply number(const std::string& option, double minimum, bool minimumAllowed,
                        std::optional<double>& target) {
        return [&option, minimum, minimumAllowed, &target](const std::string& text) -> Status {
            auto value = parseNumber(option, text, minimum, minimumAllowed);
            if (!value)
                return Failure{value.error()};
            target = *value;
            return success();
        };
    }

    Status synthetic(const std::string& value) {
        auto size = parseSize(value);
        if (!size)
            return Failure{size.error()};
        result.run.syntheticWidth = size->first;
        result.run.syntheticHeight = size->second;
        return success();
    }

    // --video takes one or more files up to the next option.
    Status videos(const std::string& option) {
        const size_t first = position;
        while (position < arguments.size() && !startsWithDashes(arguments[position]))
            result.run.videos.emplace_back(arguments[position++]);
        if (position == first)
            return Failure{option + " needs at least one file"};
        return success();
    }

    Status settingsOption(const std::string& option) {
        auto& settings = result.settings;
        if (option == "--camera")
            return withValue(option, [&](const std::string& v) -> Status {
                auto value = parseInteger(option, v, 1, kMaxCameras);
                if (!value)
                    return Failure{value.error()};
                settings.camera = static_cast<int>(*value) - 1;
                return success();
            });
        if (option == "--wait")
            return withValue(option, [&](const std::string& v) -> Status {
                auto value = parseNumber(option, v, 0, true);
                if (!value)
                    return Failure{value.error()};
                settings.waitSeconds = *value;
                return success();
            });
        if (option == "--press")
            return withValue(option, [&](const std::string& v) -> Status {
                settings.presses.push_back(v);
                return success();
            });
        if (option == "--set")
            return withValue(option, [&](const std::string& v) -> Status {
                const size_t equals = v.find('=');
                if (equals == std::string::npos || equals == 0)
                    return Failure{option + " needs NAME=VALUE, not \"" + v + "\""};
                settings.changes[v.substr(0, equals)] = v.substr(equals + 1);
                return success();
            });
        return Failure{"unknown option " + option};
    }

    Status testOption(const std::string& option, const std::string& value) {
        const size_t equals = value.find('=');
        if (equals == std::string::npos || equals == 0)
            return Failure{option + " needs KEY=VALUE, not \"" + value + "\""};
        result.host.unitTestOptions[value.substr(0, equals)] = value.substr(equals + 1);
        return success();
    }

    Outcome<CommandLine> resolveDefaults(const std::optional<std::string>& homeDir,
                                         const std::optional<std::string>& dataDir,
                                         const std::optional<std::string>& serverId) {
        std::error_code error;
        const std::filesystem::path home =
            std::filesystem::absolute(homeDir.value_or("."), error).lexically_normal();
        if (error)
            return Failure{"cannot resolve the home directory: " + error.message()};
        const std::filesystem::path data =
            dataDir ? std::filesystem::absolute(*dataDir, error).lexically_normal() : home / "vekhost_data";
        if (error)
            return Failure{"cannot resolve the data directory: " + error.message()};
        result.host.provider.homeDir = home.string();
        result.host.provider.dataDir = data.string();
        // A server keeps its id across restarts; the data directory stands for the server here.
        result.host.provider.serverId = serverId ? *serverId : stableId("server:" + data.string());
        if (result.host.provider.serverId.empty())
            return Failure{"--server-id must not be empty"};
        return result;
    }

    const std::vector<std::string>& arguments;
    size_t position = 0;
    CommandLine result;
};

}  // namespace

Outcome<CommandLine> parseCommandLine(const std::vector<std::string>& arguments) {
    return Parser(arguments).parse();
}

std::string usageText() {
    return R"(Usage: vekhost [GLOBAL OPTIONS] COMMAND [RUN OPTIONS]

Plays the media server towards an analytics plugin library.

Commands:
  manifest           print the plugin manifest
  engine-manifest    obtain the engine and print its manifest
  engine-settings    obtain the engine and print its own settings page
  device-manifest    obtain the engine and one device agent and print the agent's manifest
  device-settings    obtain the engine and one device agent, press buttons, apply values and
                     print the device's settings page (model and values) as the server shows it
  run                feed cameras with frames and record the plugin's metadata
  help               print this text

Global options:
  --plugin PATH            the plugin library (required)
  --home DIR               the server's home directory (default: the current directory)
  --data-dir DIR           the server's data directory (default: HOME/vekhost_data)
  --server-id ID           this server's id (default: derived from the data directory)
  --cloud-system-id ID     the cloud site this server belongs to (default: none)
  --cloud-token TOKEN      the cloud token (default: empty, not connected)
  --test-option KEY=VALUE  handed to the library's vekSetUnitTestOptions (repeatable)
  --verbose                more host log lines on standard error

Run options:
  --cameras N              number of cameras (default 1)
  --video FILE...          video files, one per camera, reused in turn
  --synthetic WxH          a moving rectangle of this size (default 640x480 without --video)
  --frames N               stop each camera after N frames
  --seconds S              stop after S seconds
  --fps F                  push F frames per second; 0 pushes as fast as possible
                           (default: the file's own pace, 25 for --synthetic)
  --loop                   start video files over at their end
  --drain S                wait up to S seconds for answers to the last frames (default 2)
  --metadata-out FILE      write every metadata packet as a JSON line
  --frames-out DIR         write annotated frames (boxes, class, track) as PPM images there
  --frame-interval S       one annotated frame per camera every S seconds (default 2)
  --clip-seconds S         with --frames-out, also encode each camera's first S seconds of answered
                           frames as a video clip there (default 10, 0 for none)
  --web-port PORT          serve a page on 127.0.0.1:PORT with the cameras, their latest annotated
                           frame, counters and settings pages (0 picks a free port)
  --web-address-file FILE  write the page's address to FILE once it is served

Device settings options:
  --camera N               the camera whose page is shown (default 1)
  --wait S                 let the engine work S seconds before acting (default 0)
  --press NAME             press the button NAME on the page (repeatable, in order)
  --set NAME=VALUE         change a value and apply the page, as the user's Apply does
                           (repeatable); applied values are kept in the data directory and
                           handed to the agent whenever the camera is added again, also by run

Without --frames, --seconds and --loop a video runs to its end; the pattern runs until interrupted.
)";
}

}  // namespace vekhost
