#include "corvane/vekai_dumping_cache.h"

#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <system_error>

#include "utils/bounded_json.h"
#include "vekai_utilities/vekai_utils.h"

namespace vekai {

namespace {

float numberOrZero(const rapidjson::Value& value) {
    return value.IsNumber() ? static_cast<float>(value.GetDouble()) : 0.0f;
}

bool isBox(const rapidjson::Value& element) {
    return element.IsObject() && element.MemberCount() > 0 && element.HasMember("x") &&
           element.HasMember("y") && element.HasMember("width") && element.HasMember("height");
}

}  // namespace

void vekai_load_dumping_cache(const std::string& path, KnownBoxes& boxes) {
    std::error_code error;
    if (!std::filesystem::exists(path, error))
        return;
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        vekai_vlog("Warning: Failed to open dumping known bboxes cache: %s\n", path.c_str());
        return;
    }
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    rapidjson::Document document;
    Utils::parseBoundedJson(document, text);
    if (document.HasParseError()) {
        vekai_vlog("Warning: Failed to parse dumping known bboxes cache: %s\n", path.c_str());
        return;
    }
    if (!document.IsObject()) {
        vekai_vlog("Warning: Dumping known bboxes cache has unexpected format\n");
        return;
    }
    for (const auto& member : document.GetObject()) {
        if (!member.value.IsArray())
            continue;
        std::vector<vek::sdk::analytics::Rect>& device =
            boxes[std::string(member.name.GetString(), member.name.GetStringLength())];
        for (const auto& element : member.value.GetArray()) {
            if (!isBox(element))
                continue;
            const vek::sdk::analytics::Rect box{numberOrZero(element["x"]), numberOrZero(element["y"]),
                                                numberOrZero(element["width"]),
                                                numberOrZero(element["height"])};
            // A number beyond float range would be kept as infinity, which no later save can write.
            if (!std::isfinite(box.x) || !std::isfinite(box.y) || !std::isfinite(box.width) ||
                !std::isfinite(box.height)) {
                vekai_vlog("Warning: Skipping a dumping known bbox out of range in %s\n", path.c_str());
                continue;
            }
            device.push_back(box);
        }
    }
    vekai_vlog_verbose("Loaded dumping known bboxes cache from %s\n", path.c_str());
}

void vekai_save_dumping_cache(const std::string& cacheDirectory, const std::string& path,
                              const KnownBoxes& boxes) {
    std::error_code error;
    std::filesystem::create_directories(cacheDirectory, error);
    if (error) {
        vekai_vlog("Warning: Failed to create cache directory %s: %s\n", cacheDirectory.c_str(),
                   error.message().c_str());
        return;
    }
    rapidjson::StringBuffer buffer;
    rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
    bool written = writer.StartObject();
    for (const auto& [deviceId, deviceBoxes] : boxes) {
        written = written &&
                  writer.Key(deviceId.c_str(), static_cast<rapidjson::SizeType>(deviceId.size())) &&
                  writer.StartArray();
        for (const vek::sdk::analytics::Rect& box : deviceBoxes) {
            written = written && writer.StartObject() && writer.Key("x") && writer.Double(box.x) &&
                      writer.Key("y") && writer.Double(box.y) && writer.Key("width") &&
                      writer.Double(box.width) && writer.Key("height") && writer.Double(box.height) &&
                      writer.EndObject();
        }
        written = written && writer.EndArray();
    }
    written = written && writer.EndObject();
    if (!written) {
        vekai_vlog("Warning: Failed to serialize dumping known bboxes cache\n");
        return;
    }
    // Written beside the file and renamed over it, so that a stop half-way never leaves the boxes
    // of the earlier runs truncated.
    const std::string partial = path + ".partial";
    std::ofstream out(partial, std::ios::binary | std::ios::trunc);
    if (out)
        out.write(buffer.GetString(), static_cast<std::streamsize>(buffer.GetSize()));
    if (out)
        out.close();
    if (!out) {
        std::filesystem::remove(partial, error);
        vekai_vlog("Warning: Failed to open dumping known bboxes cache for writing: %s\n", path.c_str());
        return;
    }
    std::filesystem::rename(partial, path, error);
    if (error) {
        std::filesystem::remove(partial, error);
        vekai_vlog("Warning: Failed to open dumping known bboxes cache for writing: %s\n", path.c_str());
        return;
    }
    vekai_vlog_verbose("Saved dumping known bboxes cache to %s\n", path.c_str());
}

}  // namespace vekai
