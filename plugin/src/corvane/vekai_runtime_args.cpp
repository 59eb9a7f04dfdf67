#include "corvane/vekai_runtime_args.h"

#include <rapidjson/document.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include "utils/bounded_json.h"
#include "vekai_utilities/vekai_utils.h"

std::vector<std::pair<std::string, std::string>> readRuntimeArgsFile(const std::string& path) {
    std::vector<std::pair<std::string, std::string>> args;
    vekai_vlog("Trying to load runtime args from '%s'\n", path.c_str());
    std::error_code error;
    if (!std::filesystem::exists(path, error)) {
        vekai_vlog("Runtime args file not found at %s, using empty config.\n", path.c_str());
        return args;
    }
    std::ifstream in(path, std::ios::binary);
    const std::string content{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    if (!in || content.empty()) {
        vekai_vlog("Warning! Runtime args file is empty: %s\n", path.c_str());
        return args;
    }
    rapidjson::Document document;
    Utils::parseBoundedJson(document, content);
    if (document.HasParseError()) {
        vekai_vlog("Warning! Failed to parse runtime args JSON: %s\n", path.c_str());
        return args;
    }
    if (!document.IsObject()) {
        vekai_vlog("Warning! Runtime args JSON is not an object: %s\n", path.c_str());
        return args;
    }
    for (const auto& member : document.GetObject()) {
        const std::string name(member.name.GetString(), member.name.GetStringLength());
        if (!member.value.IsString()) {
            vekai_vlog("Warning! Runtime arg '%s' has a non-string value, skipping.\n", name.c_str());
            continue;
        }
        args.emplace_back(name, std::string(member.value.GetString(), member.value.GetStringLength()));
    }
    vekai_vlog("Loaded %zu runtime args from %s\n", args.size(), path.c_str());
    return args;
}
