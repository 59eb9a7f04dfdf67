#include "vekcloud/command_line.h"

#include <charconv>

namespace vekcloud {

namespace {

template <class Number>
bool parseNumber(std::string_view text, Number& value) {
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    return error == std::errc{} && end == text.data() + text.size() && !text.empty();
}

bool applySetting(std::string_view name, std::string_view value, bool hasValue, Fault& fault) {
    uint64_t number = 0;
    if (!hasValue) {
        if (name == "wrong-checksum") {
            fault.wrongChecksum = true;
        } else if (name == "missing-key") {
            fault.missingKey = true;
        } else if (name == "wrong-key") {
            fault.wrongKey = true;
        } else {
            return false;
        }
        return true;
    }
    if (!parseNumber(value, number)) {
        return false;
    }
    if (name == "delay-ms") {
        fault.delay = std::chrono::milliseconds(number);
    } else if (name == "chunk-delay-ms") {
        fault.chunkDelay = std::chrono::milliseconds(number);
    } else if (name == "status" && number >= 100 && number <= 599) {
        fault.status = static_cast<int>(number);
    } else if (name == "truncate") {
        fault.truncateAfter = number;
    } else if (name == "corrupt") {
        fault.corruptAt = number;
    } else {
        return false;
    }
    return true;
}

}  // namespace

std::optional<std::pair<std::string, Fault>> parseFault(std::string_view text, std::string& error) {
    const size_t colon = text.find(':');
    if (colon == std::string_view::npos || colon == 0 || text[0] != '/') {
        error = "a fault is PREFIX:SETTINGS with a path prefix beginning with '/': " + std::string(text);
        return std::nullopt;
    }
    Fault fault;
    std::string_view settings = text.substr(colon + 1);
    while (!settings.empty()) {
        // "body=" takes the rest, commas included, so that a body can be any JSON text.
        if (settings.starts_with("body=")) {
            fault.body = std::string(settings.substr(5));
            break;
        }
        const size_t comma = settings.find(',');
        const std::string_view setting = settings.substr(0, comma);
        const size_t equals = setting.find('=');
        const bool hasValue = equals != std::string_view::npos;
        if (!applySetting(setting.substr(0, equals),
                          hasValue ? setting.substr(equals + 1) : std::string_view(), hasValue, fault)) {
            error = "unknown fault setting '" + std::string(setting) + "'";
            return std::nullopt;
        }
        settings = comma == std::string_view::npos ? std::string_view() : settings.substr(comma + 1);
    }
    return std::pair{std::string(text.substr(0, colon)), std::move(fault)};
}

std::optional<CommandLine> parseCommandLine(const std::vector<std::string>& arguments,
                                            const std::filesystem::path& defaultSite, std::string& error) {
    CommandLine commandLine;
    commandLine.options.siteDirectory = defaultSite;
    for (size_t i = 0; i < arguments.size(); ++i) {
        const std::string& option = arguments[i];
        if (option == "--help" || option == "-h") {
            commandLine.help = true;
            continue;
        }
        if (i + 1 >= arguments.size()) {
            error = option.starts_with("--") ? option + " needs a value" : "unknown argument " + option;
            return std::nullopt;
        }
        const std::string& value = arguments[++i];
        uint64_t number = 0;
        if (option == "--site") {
            commandLine.options.siteDirectory = value;
        } else if (option == "--runtimes") {
            commandLine.options.runtimesDirectory = value;
        } else if (option == "--port" && parseNumber(value, number) && number <= 65535) {
            commandLine.options.port = static_cast<uint16_t>(number);
        } else if (option == "--system-id") {
            commandLine.options.systemId = value;
        } else if (option == "--token") {
            commandLine.options.token = value;
        } else if (option == "--port-file") {
            commandLine.portFile = value;
        } else if (option == "--refuse-for-ms" && parseNumber(value, number)) {
            commandLine.refuseFor = std::chrono::milliseconds(number);
        } else if (option == "--fault") {
            auto fault = parseFault(value, error);
            if (!fault) {
                return std::nullopt;
            }
            commandLine.faults.push_back(std::move(*fault));
        } else {
            error = "unknown option or bad value: " + option + " " + value;
            return std::nullopt;
        }
    }
    return commandLine;
}

std::string usage() {
    return "usage: vekcloud [options]\n"
           "Serves the AI cloud API, the model store and the runtime store on 127.0.0.1.\n"
           "  --site DIR           site directory (default: the repository's samples/site)\n"
           "  --runtimes DIR       runtime packages (default: the site's runtimes folder)\n"
           "  --port N             port to listen on (default: a free one)\n"
           "  --system-id ID       the only cloud system id accepted (default: any)\n"
           "  --token TEXT         the only Authorization value accepted (default: any non-empty)\n"
           "  --port-file PATH     write the port there once listening\n"
           "  --refuse-for-ms N    refuse connections for N ms after the start\n"
           "  --fault PREFIX:SETTINGS  inject a fault into requests whose path begins with PREFIX;\n"
           "                       SETTINGS, separated by commas: delay-ms=N, status=N, truncate=N,\n"
           "                       corrupt=N, chunk-delay-ms=N, wrong-checksum, missing-key, wrong-key,\n"
           "                       and last, body=TEXT (the rest, commas included)\n"
           "Stops on SIGINT or SIGTERM.\n";
}

}  // namespace vekcloud
