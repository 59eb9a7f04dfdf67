#include "vek/kit/ini_config.h"

#include <ini.h>
#include <pwd.h>
#include <strings.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string_view>
#include <system_error>

namespace vek::kit {
namespace {

std::string orEmpty(const char* text) {
    return text ? std::string(text) : std::string();
}

std::optional<bool> parseBool(const char* text) {
    static constexpr const char* kTrue[] = {"true", "1", "yes", "on"};
    static constexpr const char* kFalse[] = {"false", "0", "no", "off"};
    for (const char* word : kTrue) {
        if (strcasecmp(text, word) == 0) {
            return true;
        }
    }
    for (const char* word : kFalse) {
        if (strcasecmp(text, word) == 0) {
            return false;
        }
    }
    return std::nullopt;
}

std::optional<int> parseInt(const char* text) {
    if (*text == '\0') {
        return std::nullopt;
    }
    errno = 0;
    char* end = nullptr;
    const long value = std::strtol(text, &end, 10);
    if (*end != '\0' || errno == ERANGE || value < INT_MIN || value > INT_MAX) {
        return std::nullopt;
    }
    return static_cast<int>(value);
}

// Hand-edited files often quote values that contain spaces or URLs.
std::string_view unquote(std::string_view text) {
    if (text.size() >= 2 && text.front() == '"' && text.back() == '"') {
        return text.substr(1, text.size() - 2);
    }
    return text;
}

}  // namespace

IniConfig::IniConfig(const char* fileName) : fileName(orEmpty(fileName)) {}

IniConfig::~IniConfig() = default;

bool IniConfig::regBoolParam(bool* target, bool defaultValue, const char* name, const char* description) {
    params.push_back(
        {Kind::Bool, target, orEmpty(name), orEmpty(description), defaultValue ? "true" : "false"});
    *target = defaultValue;
    return defaultValue;
}

int IniConfig::regIntParam(int* target, int defaultValue, const char* name, const char* description) {
    params.push_back({Kind::Int, target, orEmpty(name), orEmpty(description), std::to_string(defaultValue)});
    *target = defaultValue;
    return defaultValue;
}

const char* IniConfig::regStringParam(const char** target, const char* defaultValue, const char* name,
                                      const char* description) {
    params.push_back({Kind::Text, target, orEmpty(name), orEmpty(description), orEmpty(defaultValue)});
    *target = textValues.emplace_back(orEmpty(defaultValue)).c_str();
    return *target;
}

void IniConfig::reload() {
    const std::filesystem::path path = filePath();
    std::error_code error;
    if (!std::filesystem::exists(path, error)) {
        return;
    }
    const int result = ini_parse(
        path.c_str(),
        [](void* user, const char* /*section*/, const char* name, const char* value) -> int {
            static_cast<IniConfig*>(user)->assign(name, value);
            return 1;
        },
        this);
    if (result == -1) {
        std::fprintf(stderr, "%s: cannot be read\n", path.c_str());
    } else if (result == -2) {
        std::fprintf(stderr, "%s: out of memory while reading\n", path.c_str());
    } else if (result > 0) {
        std::fprintf(stderr, "%s: syntax error at line %d ignored\n", path.c_str(), result);
    }
}

void IniConfig::assign(const char* name, const char* value) {
    for (const Param& param : params) {
        if (strcasecmp(param.name.c_str(), name) != 0) {
            continue;
        }
        switch (param.kind) {
            case Kind::Bool:
                if (const std::optional<bool> parsed = parseBool(value)) {
                    *static_cast<bool*>(param.target) = *parsed;
                } else {
                    reportBadValue(param, value);
                }
                break;
            case Kind::Int:
                if (const std::optional<int> parsed = parseInt(value)) {
                    *static_cast<int*>(param.target) = *parsed;
                } else {
                    reportBadValue(param, value);
                }
                break;
            case Kind::Text:
                *static_cast<const char**>(param.target) = textValues.emplace_back(unquote(value)).c_str();
                break;
        }
    }
}

void IniConfig::reportBadValue(const Param& param, const char* value) const {
    std::fprintf(stderr, "%s: invalid value \"%s\" for key %s ignored\n", filePath().c_str(), value,
                 param.name.c_str());
}

std::vector<IniConfig::Registration> IniConfig::registrations() const {
    std::vector<Registration> result;
    result.reserve(params.size());
    for (const Param& param : params) {
        result.push_back({param.name, param.description, param.defaultText});
    }
    return result;
}

std::filesystem::path IniConfig::filePath() const {
    return configDirectory() / fileName;
}

std::filesystem::path IniConfig::configDirectory() {
    if (const char* directory = std::getenv("VEK_CONFIG_DIR"); directory && *directory) {
        return directory;
    }
    const char* home = std::getenv("HOME");
    if (!home || !*home) {
        const passwd* user = getpwuid(getuid());
        home = user ? user->pw_dir : "";
    }
    return std::filesystem::path(home) / ".config" / "vek";
}

}  // namespace vek::kit
