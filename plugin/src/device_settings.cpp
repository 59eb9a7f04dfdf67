#include "device_settings.h"

#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <stdexcept>

#include "corvane/vekai_external_processors.h"
#include "setting_strings.h"
#include "utils/bounded_json.h"
#include "utils/plugin_utils.h"
#include "vekai_utilities/vekai_utils.h"

namespace Utils {

int safeStoi(const std::string& text, int fallback) {
    try {
        return std::stoi(text);
    } catch (const std::exception& error) {
        vekai_vlog("Warning! Could not convert int to string: %s : %s\n", text.c_str(), error.what());
        return fallback;
    }
}

}  // namespace Utils

bool vekai_float_nearly_equal(float a, float b) {
    return std::fabs(a - b) < 0.000001f;
}

namespace DeviceSettings {

namespace {

using rapidjson::Value;

const std::string* find(const Values& values, const std::string& name) {
    auto it = values.find(name);
    return it == values.end() ? nullptr : &it->second;
}

float number(const Value& value) {
    return value.IsNumber() ? static_cast<float>(value.GetDouble()) : 0.0f;
}

// The "points" member of a figure value {"figure": {"points": ...}}, or null.
const Value* figurePoints(const rapidjson::Document& document) {
    if (!document.IsObject() || document.MemberCount() == 0)
        return nullptr;
    auto figure = document.FindMember("figure");
    if (figure == document.MemberEnd() || !figure->value.IsObject() || figure->value.MemberCount() == 0)
        return nullptr;
    auto points = figure->value.FindMember("points");
    return points == figure->value.MemberEnd() ? nullptr : &points->value;
}

void applyCrop(pipeline_stage_parameters_t& node, const std::string* text) {
    node.crop = {0, 0, 1, 1};
    if (!text)
        return;
    rapidjson::Document document;
    Utils::parseBoundedJson(document, *text);
    if (document.HasParseError())
        return;
    const Value* points = figurePoints(document);
    if (!points || !points->IsArray() || points->Size() != 2)
        return;
    const auto clamped = [](const Value& value) { return std::clamp(number(value), 0.0f, 1.0f); };
    const Value& first = (*points)[0];
    if (first.IsArray() && first.Size() == 2) {
        node.crop[0] = clamped(first[0]);
        node.crop[1] = clamped(first[1]);
        const Value& second = (*points)[1];
        if (second.IsArray() && second.Size() == 2) {
            node.crop[2] = clamped(second[0]);
            node.crop[3] = clamped(second[1]);
        }
    }
    if (node.crop[0] > node.crop[2])
        std::swap(node.crop[0], node.crop[2]);
    if (node.crop[1] > node.crop[3])
        std::swap(node.crop[1], node.crop[3]);
}

bool applySensitivity(pipeline_stage_parameters_t& node, const std::string* text) {
    if (!text)
        return false;
    const int percentage = Utils::safeStoi(*text, 42);
    const float nms = static_cast<float>(percentage) / -100.0f + 1.0f;
    if (vekai_float_nearly_equal(nms, node.nms))
        return false;
    node.nms = nms;
    vekai_vlog_verbose("Set model NMS for %s to %.4f (percentage: %d)\n", node.stageId.c_str(), nms,
                       percentage);
    return true;
}

void applyShownClasses(pipeline_stage_parameters_t& node, const std::string* text) {
    node.activeClasses.clear();
    const auto setModelClasses = [&](bool shown) {
        if (node.model)
            for (const auto& className : node.model->boxesClassNames)
                node.activeClasses[className] = shown;
    };
    if (!text) {
        setModelClasses(true);
    } else {
        rapidjson::Document document;
        Utils::parseBoundedJson(document, *text);
        if (document.HasParseError()) {
            vekai_vlog_verbose("Warning! Failed to parse visualisation settings for pipeline %s\n",
                               node.stageId.c_str());
        } else if (!document.IsArray()) {
            vekai_vlog_verbose("Warning! Visualisation settings for pipeline %s is not an array\n",
                               node.stageId.c_str());
        } else {
            setModelClasses(false);
            for (const auto& element : document.GetArray())
                if (element.IsString())
                    node.activeClasses[element.GetString()] = true;
        }
    }
    if (node.externalPostprocessor)
        for (const auto& object : node.externalPostprocessor->objects)
            node.activeClasses.emplace(object.id, true);
}

void applyMasks(pipeline_stage_parameters_t& node, const Values& values) {
    node.masks.clear();
    for (int index = 1; index <= 255; ++index) {
        const std::string* type = find(values, SettingStrings::maskTypeName(index, node.stageId));
        if (!type)
            break;
        MaskSettings_t mask;
        mask.maskType = *type == "exclusive" ? 1 : 0;
        const std::string* polygon = find(values, SettingStrings::polygonName(index, node.stageId));
        if (!polygon)
            continue;
        rapidjson::Document document;
        Utils::parseBoundedJson(document, *polygon);
        if (document.HasParseError()) {
            vekai_vlog("Failed to parse polygon for mask %u\n", static_cast<unsigned>(index));
            continue;
        }
        const Value* points = figurePoints(document);
        if (points && points->IsArray() && !points->Empty()) {
            for (const auto& point : points->GetArray()) {
                if (!point.IsArray() || point.Size() < 2)
                    continue;
                mask.polygon.push_back(number(point[0]));
                mask.polygon.push_back(number(point[1]));
            }
        }
        if (!mask.polygon.empty())
            node.masks.push_back(std::move(mask));
    }
}

void applyCrossingLine(pipeline_stage_parameters_t& node, const std::string* text) {
    node.crossingLine.reset();
    if (!text)
        return;
    rapidjson::Document document;
    Utils::parseBoundedJson(document, *text);
    if (document.HasParseError()) {
        vekai_vlog("Failed to parse line crossing settings\n");
        return;
    }
    const Value* points = figurePoints(document);
    if (!points) {
        vekai_vlog_verbose("No line crossing line specified.\n");
        return;
    }
    if (!points->IsArray() || points->Size() < 2)
        return;
    std::array<float, 4> line{0, 0, 0, 0};
    for (unsigned end = 0; end < 2; ++end) {
        const Value& point = (*points)[end];
        if (point.IsArray() && point.Size() >= 1)
            line[end * 2] = number(point[0]);
        if (point.IsArray() && point.Size() >= 2)
            line[end * 2 + 1] = number(point[1]);
    }
    node.crossingLine = line;
}

void applyEventSettings(pipeline_stage_parameters_t& node, const Values& values) {
    const std::string& id = node.stageId;
    if (node.postprocessor == "LoiteringDetection") {
        LoiterDetectionSettings_t loiter;
        loiter.enabled = true;
        const std::string* threshold =
            find(values, SettingStrings::forStage(SettingStrings::LoiterTimeThreshold, id));
        loiter.timeThresholdSeconds = threshold ? Utils::safeStoi(*threshold, 30) : 30;
        const std::string* objectClass =
            find(values, SettingStrings::forStage(SettingStrings::LoiterObjectClass, id));
        loiter.objectClass = objectClass ? *objectClass : "person";
        node.loiterSettings = loiter;
    } else {
        node.loiterSettings.reset();
    }
    if (node.postprocessor == "Illegal Dumping") {
        DumpingDetectionSettings_t dumping;
        dumping.enabled = true;
        const std::string* objectType =
            find(values, SettingStrings::forStage(SettingStrings::DumpingObjectType, id));
        dumping.objectType = objectType ? *objectType : "object";
        const std::string* threshold =
            find(values, SettingStrings::forStage(SettingStrings::DumpingTimeThreshold, id));
        dumping.timeThresholdUs =
            static_cast<int64_t>(threshold ? Utils::safeStoi(*threshold, 60) : 60) * 1000000;
        dumping.distanceThreshold = 0.1;
        dumping.iouThreshold = 0.75;
        node.dumpingSettings = dumping;
    } else {
        node.dumpingSettings.reset();
    }
}

void applyProcessorSettings(pipeline_stage_parameters_t& node, const Values& values) {
    for (const auto& [name, value] : values) {
        if (auto setting = SettingStrings::postprocessorSettingOf(name, node.stageId))
            node.postprocessorSettings[*setting] = value;
        if (auto setting = SettingStrings::preprocessorSettingOf(name, node.stageId))
            node.preprocessorSettings[*setting] = value;
    }
}

// Cache entries whose name or value a plain "name=value" line cannot hold are written as a
// line starting with a backslash, with backslash, line breaks and (in the name) "=" escaped.
// Plain lines never start with a backslash because setting names do not.
constexpr char kEscapedLine = '\\';

bool needsEscaping(const std::string& name, const std::string& value) {
    return name.empty() || name.front() == kEscapedLine || name.find_first_of("=\n\r") != std::string::npos ||
           value.find_first_of("\n\r") != std::string::npos;
}

std::string escape(const std::string& text, bool inName) {
    std::string out;
    for (char c : text) {
        switch (c) {
            case '\\':
                out += "\\\\";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '=':
                out += inName ? "\\=" : "=";
                break;
            default:
                out += c;
        }
    }
    return out;
}

// Reads an escaped line (without its leading backslash); false when it is malformed.
bool unescapeLine(const std::string& line, std::string& name, std::string& value) {
    std::string* target = &name;
    bool nameDone = false;
    for (size_t i = 0; i < line.size(); ++i) {
        const char c = line[i];
        if (c == '=' && !nameDone) {
            nameDone = true;
            target = &value;
            continue;
        }
        if (c != '\\') {
            *target += c;
            continue;
        }
        if (++i == line.size())
            return false;
        switch (line[i]) {
            case 'n':
                *target += '\n';
                break;
            case 'r':
                *target += '\r';
                break;
            case '\\':
            case '=':
                *target += line[i];
                break;
            default:
                return false;
        }
    }
    return nameDone;
}

// Keeps the order of the remaining members, unlike RemoveMember.
void eraseAll(Value& object, const char* name) {
    for (auto member = object.FindMember(name); member != object.MemberEnd();
         member = object.FindMember(name))
        object.EraseMember(member);
}

void copyPipelines(const Value& source, Value& target, const std::string& prefix,
                   const std::map<std::string, pipeline_stage_parameters_t*>& nodes,
                   rapidjson::Document::AllocatorType& allocator) {
    for (const auto& node : source.GetArray()) {
        Value copy(node, allocator);
        const auto uuid = node.IsObject() ? node.FindMember("modelUUID") : Value::ConstMemberIterator();
        if (node.IsObject() && uuid != node.MemberEnd() && uuid->value.IsString()) {
            const std::string key = prefix + uuid->value.GetString();
            auto known = nodes.find(key);
            if (known != nodes.end()) {
                eraseAll(copy, "modelNMS");
                copy.AddMember("modelNMS", Value(static_cast<double>(known->second->nms)), allocator);
            }
            auto chains = node.FindMember("chains");
            if (chains != node.MemberEnd()) {
                eraseAll(copy, "chains");
                Value chained(rapidjson::kArrayType);
                if (chains->value.IsArray())
                    copyPipelines(chains->value, chained, key, nodes, allocator);
                copy.AddMember("chains", chained, allocator);
            }
        }
        target.PushBack(copy, allocator);
    }
}

}  // namespace

bool applyUserValues(DeviceAgentSettings_t& settings, const Values& values) {
    const std::string* active = find(values, SettingStrings::DeviceActive);
    settings.active = active && *active == "true";
    bool nmsChanged = false;
    for (auto& [key, node] : Utils::flattenPipelineParametersMap(settings.stages)) {
        applyCrop(*node, find(values, SettingStrings::forStage(SettingStrings::CropBox, key)));
        nmsChanged =
            applySensitivity(*node, find(values, SettingStrings::forStage(SettingStrings::ModelNms, key))) ||
            nmsChanged;
        applyShownClasses(*node,
                          find(values, SettingStrings::forStage(SettingStrings::VisualisationClasses, key)));
        applyMasks(*node, values);
        applyCrossingLine(*node,
                          find(values, SettingStrings::forStage(SettingStrings::LineCrossingLine, key)));
        applyEventSettings(*node, values);
        applyProcessorSettings(*node, values);
    }
    return nmsChanged;
}

std::string cacheFilePath(const std::string& cacheDir, const std::string& deviceId) {
    return cacheDir + "/" + deviceId + "_settings_cache.txt";
}

Values loadCache(const std::string& path) {
    Values values;
    std::ifstream file(path, std::ios::binary);
    if (!file)
        return values;
    std::string line;
    while (std::getline(file, line)) {
        if (line.empty())
            continue;
        if (line.front() == kEscapedLine) {
            std::string name;
            std::string value;
            if (unescapeLine(line.substr(1), name, value))
                values[name] = value;
            continue;
        }
        const size_t equals = line.find('=');
        if (equals == std::string::npos)
            continue;
        values[line.substr(0, equals)] = line.substr(equals + 1);
    }
    return values;
}

bool saveCache(const std::string& path, const Values& values) {
    std::error_code error;
    std::filesystem::create_directories(std::filesystem::path(path).parent_path(), error);
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    if (!file) {
        vekai_vlog("Failed to open settings cache for writing: %s\n", path.c_str());
        return false;
    }
    for (const auto& [name, value] : values) {
        if (name == SettingStrings::SelectedPipeline || name == SettingStrings::DeviceActive)
            continue;
        if (needsEscaping(name, value))
            file << kEscapedLine << escape(name, true) << '=' << escape(value, false) << '\n';
        else
            file << name << '=' << value << '\n';
    }
    file.flush();
    if (!file) {
        vekai_vlog("Failed to open settings cache for writing: %s\n", path.c_str());
        return false;
    }
    return true;
}

std::optional<std::string> nmsPatchBody(const std::string& storedParameters,
                                        std::vector<pipeline_stage_parameters_t>& stages) {
    rapidjson::Document stored;
    Utils::parseBoundedJson(stored, storedParameters);
    const Value* pipelines = nullptr;
    if (!stored.HasParseError() && stored.IsObject()) {
        auto parameters = stored.FindMember("parameters");
        if (parameters != stored.MemberEnd() && parameters->value.IsObject()) {
            auto vekAI = parameters->value.FindMember("vekAI");
            if (vekAI != parameters->value.MemberEnd() && vekAI->value.IsObject()) {
                auto list = vekAI->value.FindMember("pipelines");
                if (list != vekAI->value.MemberEnd() && list->value.IsArray())
                    pipelines = &list->value;
            }
        }
    }
    // An empty list in the body would erase the device's pipelines in the cloud.
    if (!pipelines)
        return std::nullopt;

    auto body = Utils::createEmptyParametersObject();
    auto& allocator = body.document->GetAllocator();
    Value copied(rapidjson::kArrayType);
    copyPipelines(*pipelines, copied, "", Utils::flattenPipelineParametersMap(stages), allocator);
    body.vekAI->AddMember("pipelines", copied, allocator);
    return Utils::finaliseDocument(*body.document);
}

std::string customPipelineBody() {
    auto body = Utils::createEmptyParametersObject();
    body.vekAI->AddMember("selectedPipeline", Value(rapidjson::kNullType), body.document->GetAllocator());
    return Utils::finaliseDocument(*body.document);
}

std::string allClassesValue(const pipeline_stage_parameters_t& node) {
    rapidjson::Document document(rapidjson::kArrayType);
    auto& allocator = document.GetAllocator();
    std::vector<std::string> names;
    if (node.model)
        names = node.model->boxesClassNames;
    if (node.externalPostprocessor)
        for (const auto& object : node.externalPostprocessor->objects)
            names.push_back(object.id);
    std::vector<std::string> listed;
    for (const auto& name : names) {
        if (std::find(listed.begin(), listed.end(), name) != listed.end())
            continue;
        listed.push_back(name);
        document.PushBack(Value(name.c_str(), allocator), allocator);
    }
    return Utils::finaliseDocument(document);
}

ActiveSetting classifyActiveSetting(const std::string& name) {
    using Kind = ActiveSetting::Kind;
    const std::pair<const char*, Kind> exact[] = {
        {SettingStrings::ManageDevice, Kind::ManageDevice},
        {SettingStrings::ReselectRuntime, Kind::ReselectRuntime},
        {SettingStrings::CancelRuntimeDownload, Kind::CancelRuntimeDownload},
        {SettingStrings::ResetSingleDevice, Kind::ResetSingleDevice},
        {SettingStrings::ResetAllDevices, Kind::ResetAllDevices},
        {SettingStrings::ClearCache, Kind::ClearCache},
        {SettingStrings::ModelDownloadRetry, Kind::ModelDownloadRetry},
    };
    for (const auto& [text, kind] : exact)
        if (name == text)
            return {kind, {}};
    const std::string selectAll = std::string(SettingStrings::SelectAll) + "_";
    const std::string deselectAll = std::string(SettingStrings::DeselectAll) + "_";
    const std::pair<const char*, Kind> prefixed[] = {
        {selectAll.c_str(), Kind::SelectAll},
        {deselectAll.c_str(), Kind::DeselectAll},
        {SettingStrings::LibraryChoice, Kind::LibraryChoice},
        {SettingStrings::ReferenceRun, Kind::ReferenceRun},
    };
    for (const auto& [prefix, kind] : prefixed)
        if (auto argument = SettingStrings::stageOf(name, prefix))
            return {kind, *argument};
    return {};
}

}  // namespace DeviceSettings
