// Reader of a plugin's ini configuration file: parameters are registered with defaults and
// descriptions, then reload() fills them from "<directory>/<file name>".
// The directory is $VEK_CONFIG_DIR when set and non-empty, else $HOME/.config/vek.
#pragma once

#include <deque>
#include <filesystem>
#include <string>
#include <vector>

namespace vek::kit {

class IniConfig {
public:
    explicit IniConfig(const char* fileName);
    virtual ~IniConfig();
    IniConfig(const IniConfig&) = delete;
    IniConfig& operator=(const IniConfig&) = delete;

    // Each registration stores the default in the target and returns it; reload() replaces it
    // with the file's value when the key is present and well-formed.
    bool regBoolParam(bool* target, bool defaultValue, const char* name, const char* description);
    int regIntParam(int* target, int defaultValue, const char* name, const char* description);
    const char* regStringParam(const char** target, const char* defaultValue, const char* name,
                               const char* description);

    void reload();

    // One registered parameter as it would appear in a configuration template.
    struct Registration {
        std::string name;
        std::string description;
        std::string defaultText;
    };
    // In registration order.
    std::vector<Registration> registrations() const;

    std::filesystem::path filePath() const;
    static std::filesystem::path configDirectory();

private:
    enum class Kind { Bool, Int, Text };
    struct Param {
        Kind kind;
        void* target;
        std::string name;
        std::string description;
        std::string defaultText;
    };

    void assign(const char* name, const char* value);
    void reportBadValue(const Param& param, const char* value) const;

    std::string fileName;
    std::vector<Param> params;
    std::deque<std::string> textValues;  // stable storage: returned pointers stay valid
};

}  // namespace vek::kit
