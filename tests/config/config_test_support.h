// Helpers shared by the configuration tests: a scratch configuration directory that the reader is
// pointed at through VEK_CONFIG_DIR for the life of the object.
#pragma once

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <string>

namespace configtest {

// Sets or unsets one environment variable and restores its previous state on destruction.
class EnvOverride {
public:
    EnvOverride(const char* name, const char* value) : name(name) {
        if (const char* old = std::getenv(name)) {
            previous = old;
        }
        if (value) {
            setenv(name, value, 1);
        } else {
            unsetenv(name);
        }
    }
    ~EnvOverride() {
        if (previous) {
            setenv(name, previous->c_str(), 1);
        } else {
            unsetenv(name);
        }
    }
    EnvOverride(const EnvOverride&) = delete;
    EnvOverride& operator=(const EnvOverride&) = delete;

private:
    const char* name;
    std::optional<std::string> previous;
};

class ConfigDir {
public:
    ConfigDir() : path(makeDirectory()), env("VEK_CONFIG_DIR", path.c_str()) {}
    ~ConfigDir() {
        std::error_code ignored;
        std::filesystem::remove_all(path, ignored);
    }
    ConfigDir(const ConfigDir&) = delete;
    ConfigDir& operator=(const ConfigDir&) = delete;

    void write(const std::string& fileName, const std::string& text) const {
        std::ofstream(path / fileName, std::ios::binary) << text;
    }

    const std::filesystem::path path;

private:
    static std::filesystem::path makeDirectory() {
        std::string pattern = (std::filesystem::temp_directory_path() / "vek_config_XXXXXX").string();
        return mkdtemp(pattern.data()) ? std::filesystem::path(pattern) : std::filesystem::path();
    }

    EnvOverride env;
};

}  // namespace configtest
