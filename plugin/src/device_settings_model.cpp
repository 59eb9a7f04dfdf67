#include "device_settings_model.h"

#include <set>

#include "accl_manager/utils.h"
#include "corvane/vekai_external_processors.h"
#include "setting_strings.h"
#include "utils/bounded_json.h"
#include "utils/plugin_utils.h"
#include "vekai_utilities/vekai_utils.h"

namespace DeviceSettingsModel {

namespace {

using rapidjson::Value;
using Allocator = rapidjson::Document::AllocatorType;

constexpr const char* kCustom = "Custom";

class Builder {
public:
    explicit Builder(rapidjson::Document& document)
        : document(document), allocator(document.GetAllocator()) {}

    Value text(const std::string& value) { return Value(value.c_str(), allocator); }

    Value object(const char* type) {
        Value item(rapidjson::kObjectType);
        item.AddMember("type", Value(rapidjson::StringRef(type)), allocator);
        return item;
    }

    void add(Value& item, const char* key, Value value) {
        item.AddMember(Value(rapidjson::StringRef(key)), value, allocator);
    }
    void add(Value& item, const char* key, const std::string& value) { add(item, key, text(value)); }
    void add(Value& item, const char* key, const char* value) { add(item, key, text(value)); }
    void add(Value& item, const char* key, bool value) { add(item, key, Value(value)); }
    void add(Value& item, const char* key, double value) { add(item, key, Value(value)); }
    void add(Value& item, const char* key, int value) { add(item, key, Value(value)); }
    void isActive(Value& item, bool value) { add(item, "isActive", value ? "true" : "false"); }

    Value banner(const char* icon, const std::string& message) {
        Value item = object("Banner");
        add(item, "icon", icon);
        add(item, "text", message);
        return item;
    }

    Value button(const std::string& name, const char* caption, const char* description) {
        Value item = object("Button");
        add(item, "name", name);
        add(item, "caption", caption);
        add(item, "description", description);
        isActive(item, true);
        return item;
    }

    Value groupBox(const std::string& caption, Value items, bool visible) {
        Value group = object("GroupBox");
        add(group, "caption", caption);
        add(group, "items", std::move(items));
        add(group, "visible", visible);
        return group;
    }

    Value array() { return Value(rapidjson::kArrayType); }
    void push(Value& array, Value item) { array.PushBack(item, allocator); }

    rapidjson::Document& document;
    Allocator& allocator;
};

std::string chainMethodName(int32_t method) {
    switch (method) {
        case 1:
            return "Direct";
        case 2:
            return "Feature Extraction";
        case 3:
            return "Conditional";
        default:
            return "Unknown";
    }
}

std::string modelName(const pipeline_stage_parameters_t& stage) {
    return stage.model ? stage.model->name : std::string();
}

void describePipeline(const std::vector<pipeline_stage_parameters_t>& stages, int depth, std::string& out) {
    const std::string indent(static_cast<size_t>(depth) * 4, ' ');
    for (const auto& stage : stages) {
        if (depth == 0)
            out += "\n";
        if (stage.chainMethod != 0)
            out += indent + "-> " + chainMethodName(stage.chainMethod) + ":\n";
        out += indent + "Model: " + modelName(stage) + "\n";
        if (stage.externalPreprocessor)
            out += indent + "Pre-processor: " + stage.externalPreprocessor->name + "\n";
        else if (!stage.preprocessor.empty())
            out += indent + "Pre-processor: " + stage.preprocessor + "\n";
        if (stage.externalPostprocessor)
            out += indent + "Post-processor: " + stage.externalPostprocessor->name + "\n";
        else if (!stage.postprocessor.empty())
            out += indent + "Post-processor: " + stage.postprocessor + "\n";
        describePipeline(stage.children, depth + 1, out);
    }
}

const char* chainMethodExplanation(int32_t method) {
    switch (method) {
        case 0:
            return "This is the root model. It processes the input frames from the video stream.";
        case 1:
            return "This model receives direct input from the previous model. The output tensors from the "
                   "previous "
                   "model are fed directly as input to this model.";
        case 2:
            return "This model extracts features from the previous model. Each bounding box detected by the "
                   "previous model is used to create sub-images, which are then fed to this model as "
                   "separate "
                   "inputs.";
        case 3:
            return "This model runs conditionally based on the previous model's output. It will only execute "
                   "if "
                   "the previous model outputs a true condition.";
        default:
            return "";
    }
}

// The group of an external processor's own settings, or nothing when it has none.
void addExternalSettings(Builder& b, Value& items, const std::string& processorName,
                         const std::string& settingsText, const char* infix, const std::string& stageId,
                         bool ready, const char* warning) {
    if (settingsText.empty())
        return;
    Value group = b.object("GroupBox");
    b.add(group, "caption", processorName + " Settings");
    b.add(group, "visible", ready);
    rapidjson::Document parsed;
    Utils::parseBoundedJson(parsed, settingsText);
    if (parsed.HasParseError() || !parsed.IsArray()) {
        vekai_vlog("%s", warning);
    } else {
        Value copy(parsed, b.allocator);
        prefixExternalSettingNames(b.document, copy, infix, stageId);
        b.add(group, "items", std::move(copy));
    }
    b.push(items, std::move(group));
}

Value stageGroup(Builder& b, const pipeline_stage_parameters_t& stage, bool ready, bool custom) {
    const std::string& id = stage.stageId;
    Value items = b.array();

    b.push(items, b.banner("information", chainMethodExplanation(stage.chainMethod)));

    Value nms = b.object("SpinBox");
    b.add(nms, "name", SettingStrings::forStage(SettingStrings::ModelNms, id));
    b.add(nms, "caption", "Model Sensitivity");
    b.add(nms, "suffix", "%");
    b.add(
        nms, "description",
        "Controls the sensitivity of the model. A higher value will make the model more sensitive, resulting "
        "in more detections but also more false positives.");
    b.isActive(nms, false);
    b.add(nms, "defaultValue", 42.0);
    b.add(nms, "minValue", 1.0);
    b.add(nms, "maxValue", 100.0);
    b.add(nms, "step", 5.0);
    b.add(nms, "visible", ready && !custom);
    b.push(items, std::move(nms));

    Value crop = b.object("BoxFigure");
    b.add(crop, "caption", "Region of Interest");
    b.add(crop, "name", SettingStrings::forStage(SettingStrings::CropBox, id));
    b.add(crop, "description", "The image will be cropped to this region before being sent to Corvane.");
    b.add(crop, "visible", stage.chainMethod != 1 && stage.chainMethod != 2);
    b.push(items, std::move(crop));

    {
        const bool visible = ready && stage.postprocessor == "LineCrossing";
        Value line = b.object("LineFigure");
        b.add(line, "name", SettingStrings::forStage(SettingStrings::LineCrossingLine, id));
        b.add(line, "caption", "Line");
        b.add(line, "description", "The line to detect crossings on.");
        b.add(line, "allowedDirections", "none");
        b.add(line, "visible", visible);
        Value groupItems = b.array();
        b.push(groupItems, std::move(line));
        b.push(items, b.groupBox("Line Crossing", std::move(groupItems), visible));
    }
    {
        const bool visible = ready && stage.postprocessor == "LoiteringDetection";
        Value threshold = b.object("SpinBox");
        b.add(threshold, "name", SettingStrings::forStage(SettingStrings::LoiterTimeThreshold, id));
        b.add(threshold, "caption", "Loiter Detection Time Threshold (s)");
        b.add(threshold, "description",
              "Loitering will be detected on persons who stay in frame for at least this amount of time.");
        b.add(threshold, "minValue", 1);
        b.add(threshold, "maxValue", 1000);
        b.add(threshold, "defaultValue", 30);
        b.add(threshold, "visible", visible);
        Value objectClass = b.object("TextField");
        b.add(objectClass, "name", SettingStrings::forStage(SettingStrings::LoiterObjectClass, id));
        b.add(objectClass, "caption", "Loiter Detection Class");
        b.add(objectClass, "description", "Which object type to check for loitering detection.");
        b.add(objectClass, "defaultValue", "person");
        b.add(objectClass, "visible", visible);
        Value groupItems = b.array();
        b.push(groupItems, std::move(threshold));
        b.push(groupItems, std::move(objectClass));
        b.push(items, b.groupBox("Loitering Detection", std::move(groupItems), visible));
    }
    {
        const bool visible = ready && stage.postprocessor == "Illegal Dumping";
        Value objectType = b.object("TextField");
        b.add(objectType, "name", SettingStrings::forStage(SettingStrings::DumpingObjectType, id));
        b.add(objectType, "caption", "Dumping Detection Class");
        b.add(objectType, "description", "Which object type to check for illegal dumping.");
        b.add(objectType, "defaultValue", "object");
        b.add(objectType, "visible", visible);
        Value threshold = b.object("SpinBox");
        b.add(threshold, "name", SettingStrings::forStage(SettingStrings::DumpingTimeThreshold, id));
        b.add(threshold, "caption", "Dumping Detection Time Threshold (s)");
        b.add(threshold, "description",
              "Dumping will be detected on objects which stays static for at least this amount of time.");
        b.add(threshold, "minValue", 1);
        b.add(threshold, "maxValue", 1000);
        b.add(threshold, "defaultValue", 15);
        b.add(threshold, "visible", visible);
        Value reference =
            b.button(SettingStrings::forStage(SettingStrings::ReferenceRun, id), "Trigger Reference Run",
                     "This will trigger a reference run in the Edge Corvane to compare detected "
                     "objects in subsequent runs to the ones detected in the reference run.");
        b.add(reference, "visible", visible);
        Value groupItems = b.array();
        b.push(groupItems, std::move(objectType));
        b.push(groupItems, std::move(threshold));
        b.push(groupItems, std::move(reference));
        b.push(items, b.groupBox("Illegal Dumping Detection", std::move(groupItems), visible));
    }
    {
        Value maskType = b.object("ComboBox");
        b.add(maskType, "name", SettingStrings::maskTypeTemplate(id));
        b.add(maskType, "caption", "Mask Type");
        b.add(maskType, "description", "Choose whether this mask should be inclusive or exclusive.");
        b.add(maskType, "defaultValue", "inclusive");
        Value range = b.array();
        b.push(range, b.text("inclusive"));
        b.push(range, b.text("exclusive"));
        b.add(maskType, "range", std::move(range));
        Value captions(rapidjson::kObjectType);
        b.add(captions, "inclusive", "Inclusive");
        b.add(captions, "exclusive", "Exclusive");
        b.add(maskType, "itemCaptions", std::move(captions));
        Value polygon = b.object("PolygonFigure");
        b.add(polygon, "name", SettingStrings::polygonTemplate(id));
        b.add(polygon, "minPoints", 3);
        b.add(polygon, "maxPoints", 8);
        Value templateItems = b.array();
        b.push(templateItems, std::move(maskType));
        b.push(templateItems, std::move(polygon));
        Value maskGroup = b.object("GroupBox");
        b.add(maskGroup, "caption", "Mask #");
        b.add(maskGroup, "description",
              "Only bounding boxes whose center bottom falls within/without ( Depending on Mask Type ) this "
              "mask "
              "will generate objects.");
        Value filled = b.array();
        b.push(filled, b.text(SettingStrings::polygonTemplate(id)));
        b.add(maskGroup, "filledCheckItems", std::move(filled));
        b.add(maskGroup, "items", std::move(templateItems));
        Value repeater = b.object("Repeater");
        b.add(repeater, "count", 5);
        b.add(repeater, "template", std::move(maskGroup));
        Value groupItems = b.array();
        b.push(groupItems, std::move(repeater));
        b.push(items, b.groupBox("Input Masks", std::move(groupItems),
                                 ready && stage.model && !stage.model->boxesClassNames.empty()));
    }
    if (stage.externalPreprocessor)
        addExternalSettings(b, items, stage.externalPreprocessor->name,
                            stage.externalPreprocessor->userSettings, SettingStrings::PreprocessorSetting, id,
                            ready,
                            "Warning! External preprocessor settings should be a JSON document with array as "
                            "root\n");
    if (stage.externalPostprocessor)
        addExternalSettings(
            b, items, stage.externalPostprocessor->name, stage.externalPostprocessor->userSettings,
            SettingStrings::PostprocessorSetting, id, ready,
            "Warning! External postprocessor settings should be a JSON document with array as "
            "root\n");
    {
        Value range = b.array();
        Value defaults = b.array();
        Value captions(rapidjson::kObjectType);
        const auto list = [&](const std::string& value, const std::string& caption) {
            b.push(range, b.text(value));
            b.push(defaults, b.text(value));
            captions.AddMember(b.text(value), b.text(caption), b.allocator);
        };
        if (stage.model)
            for (const auto& className : stage.model->boxesClassNames)
                list(className, className);
        if (stage.externalPostprocessor)
            for (const auto& object : stage.externalPostprocessor->objects) {
                vekai_vlog("Adding object ID: %s:%s", object.id.c_str(), object.name.c_str());
                list(object.id, object.name);
            }
        Value classes = b.object("MultiSelectionComboBox");
        b.add(classes, "name", SettingStrings::forStage(SettingStrings::VisualisationClasses, id));
        b.add(classes, "caption", "Classes");
        b.add(classes, "description", "Select which object classes to visualize with bounding boxes.");
        b.add(classes, "range", std::move(range));
        b.add(classes, "defaultValue", std::move(defaults));
        b.add(classes, "itemCaptions", std::move(captions));
        Value rowItems = b.array();
        b.push(rowItems, b.button(SettingStrings::selectAllButton(id), "Select All",
                                  "Select all object classes for visualization."));
        b.push(rowItems, b.button(SettingStrings::deselectAllButton(id), "Deselect All",
                                  "Deselect all object classes for visualization."));
        Value row = b.object("Row");
        b.add(row, "items", std::move(rowItems));
        Value groupItems = b.array();
        b.push(groupItems, std::move(classes));
        b.push(groupItems, std::move(row));
        Value group = b.object("GroupBox");
        b.add(group, "caption", "Class Visualisation");
        b.add(group, "visible", ready);
        b.add(group, "items", std::move(groupItems));
        b.push(items, std::move(group));
    }

    Value group = b.object("GroupBox");
    b.add(group, "items", std::move(items));
    b.add(group, "visible", ready);
    b.add(group, "caption", modelName(stage) + " - Settings\n\n");
    return group;
}

void addStageSections(Builder& b, const std::vector<pipeline_stage_parameters_t>& stages, Value& sections,
                      bool ready, bool custom) {
    for (const auto& stage : stages) {
        Value items = b.array();
        b.push(items, stageGroup(b, stage, ready, custom));
        Value children = b.array();
        addStageSections(b, stage.children, children, ready, custom);
        Value section = b.object("Section");
        b.add(section, "caption", modelName(stage));
        b.add(section, "name", "section_" + stage.stageId);
        b.add(section, "visible", ready);
        b.add(section, "items", std::move(items));
        b.add(section, "sections", std::move(children));
        b.push(sections, std::move(section));
    }
}

}  // namespace

void addTroubleshootingDocsLink(rapidjson::Document& document, rapidjson::Value& items) {
    Builder b(document);
    Value label = b.object("Label");
    b.add(label, "caption", "Troubleshooting");
    b.add(label, "text",
          Utils::htmlLink(std::string(Utils::DOCUMENTATION_URL) + "/corvane/support/get_support",
                          "Open documentation"));
    b.push(items, std::move(label));
}

void prefixExternalSettingItem(rapidjson::Document& document, rapidjson::Value& item, const char* infix,
                               const std::string& stageId, const std::string& prefix) {
    if (!item.IsObject())
        return;
    auto& allocator = document.GetAllocator();
    auto name = item.FindMember("name");
    if (name != item.MemberEnd() && name->value.IsString()) {
        const std::string renamed = prefix + name->value.GetString();
        item.EraseMember(name);
        item.AddMember("name", Value(renamed.c_str(), allocator), allocator);
    }
    auto nested = item.FindMember("items");
    if (nested != item.MemberEnd() && nested->value.IsArray())
        prefixExternalSettingNames(document, nested->value, infix, stageId);
    auto repeated = item.FindMember("template");
    if (repeated != item.MemberEnd() && repeated->value.IsObject())
        prefixExternalSettingItem(document, repeated->value, infix, stageId, prefix);
}

void prefixExternalSettingNames(rapidjson::Document& document, rapidjson::Value& items, const char* infix,
                                const std::string& stageId) {
    if (!items.IsArray())
        return;
    const std::string prefix = stageId + infix;
    for (auto& item : items.GetArray())
        prefixExternalSettingItem(document, item, infix, stageId, prefix);
}

std::string build(const EngineState& engine, const DeviceAgentSettings_t& settings) {
    rapidjson::Document document(rapidjson::kObjectType);
    Builder b(document);
    document.AddMember("type", "Settings", b.allocator);
    Value items = b.array();
    Value sections = b.array();

    bool ready = true;
    bool recovery = engine.alwaysShowRecoveryButtons;
    bool modelFailure = false;

    if (engine.cloudState != 5) {
        vekai_vlog("Server not registered. Status: %d\n", engine.cloudState);
        ready = false;
        Value banner = b.object("Banner");
        b.add(banner, "icon", "info");
        if (engine.cloudState == 1)
            b.add(banner, "text",
                  "Checking if your device is registered. Click the 'Refresh' button to check if it's "
                  "completed.");
        else if (engine.cloudState == 2)
            b.add(banner, "text",
                  "This system is not registered to a cloud user. Add a cloud user through the System "
                  "Administration.");
        b.push(items, std::move(banner));
    } else if (engine.runtimeState != RuntimeState::INSTALLED) {
        ready = false;
        const auto reselect = [&] {
            return b.button(SettingStrings::ReselectRuntime, "Reselect Runtime",
                            "Reselect the runtime to use for inference.");
        };
        switch (engine.runtimeState) {
            case RuntimeState::NONE:
            case RuntimeState::RESELECT_REQUESTED:
                b.push(items,
                       b.banner("info",
                                "The AI Plugin is detecting the available AI accelerators on your device. "
                                "Please wait a moment and click the 'Refresh' button."));
                break;
            case RuntimeState::AWAITING_SELECTION:
                b.push(items, b.banner("info", "Multiple AI-capable devices detected. Select one to use."));
                for (const auto& runtime : engine.candidateRuntimes)
                    b.push(items,
                           b.button(std::string(SettingStrings::LibraryChoice) + runtime, runtime.c_str(),
                                    "Install this acceleration library on your server."));
                break;
            case RuntimeState::SELECTED:
            case RuntimeState::DOWNLOADING:
                b.push(items, b.banner("info",
                                       "The AI Plugin is installing your acceleration library. Please wait a "
                                       "moment and click the 'Refresh' button."));
                if (engine.runtimeState == RuntimeState::DOWNLOADING)
                    b.push(items, b.button(SettingStrings::CancelRuntimeDownload, "Cancel Download",
                                           "Cancel the runtime download currently in progress."));
                break;
            case RuntimeState::FAILED:
                b.push(items,
                       b.banner("info", engine.downloadCancelled
                                            ? "The runtime download was cancelled. Click 'Reselect "
                                              "Runtime' below to choose a runtime and try again."
                                            : "The AI Plugin could not install the acceleration library. "
                                              "Please contact support."));
                b.push(items, reselect());
                break;
            case RuntimeState::NO_COMPATIBLE_RUNTIME:
                b.push(items,
                       b.banner("info",
                                "The AI Plugin could not find any runtimes compatible with your device. "
                                "Please contact support."));
                break;
            case RuntimeState::INSTALLED:
                break;
        }
    }

    if (ready) {
        if (!settings.parametersReceived) {
            ready = false;
            b.push(items,
                   b.banner("info",
                            "Waiting for this device's parameters from the cloud. Please wait a moment and "
                            "click the 'Refresh' button."));
        } else if (settings.availablePipelines.empty()) {
            ready = false;
            b.push(items,
                   b.banner("info",
                            "Gathering available AI pipelines from the cloud. Please wait a moment and click "
                            "the 'Refresh' button."));
        } else {
            Value active = b.object("SwitchButton");
            b.add(active, "name", SettingStrings::DeviceActive);
            b.add(active, "caption", "Device Active");
            b.add(active, "description",
                  "If the device is active, the frames from this device will be sent to the AI Runtime for "
                  "inference.");
            b.add(active, "defaultValue", false);
            b.add(active, "visible", true);
            b.push(items, std::move(active));
        }
    }

    std::string choice = kCustom;
    for (const auto& pipeline : settings.availablePipelines)
        if (std::get<0>(pipeline) == settings.selectedPipeline)
            choice = settings.selectedPipeline;
    const bool custom = choice == kCustom;
    {
        Value range = b.array();
        Value captions(rapidjson::kObjectType);
        for (const auto& [id, name, parameters] : settings.availablePipelines) {
            b.push(range, b.text(id));
            captions.AddMember(b.text(id), b.text(name), b.allocator);
        }
        if (engine.serverCustomization == 0 || custom) {
            b.push(range, b.text(kCustom));
            captions.AddMember(b.text(kCustom), b.text(kCustom), b.allocator);
        }
        Value pipeline = b.object("ComboBox");
        b.add(pipeline, "name", SettingStrings::SelectedPipeline);
        b.add(pipeline, "caption", "AI Pipeline");
        b.add(pipeline, "description", "Choose which AI pipeline to run on the current device.");
        b.add(pipeline, "defaultValue", choice);
        b.add(pipeline, "itemCaptions", std::move(captions));
        b.add(pipeline, "range", std::move(range));
        b.add(pipeline, "visible", ready);
        b.push(items, std::move(pipeline));

        Value manage = b.button(SettingStrings::ManageDevice, "Manage Device",
                                "Open a browser window to manage the device from the cloud.");
        b.add(manage, "visible", ready && custom && engine.serverCustomization == 0);
        b.push(items, std::move(manage));
        Value reselect = b.button(SettingStrings::ReselectRuntime, "Reselect Runtime",
                                  "Reselect the runtime to use for inference.");
        b.add(reselect, "visible", ready);
        b.push(items, std::move(reselect));
    }

    for (const auto& [key, message] : engine.messages) {
        Value banner = b.object("Banner");
        b.add(banner, "text", message.text);
        b.add(banner, "icon", message.type == MESSAGE_TYPE::INFO ? "info" : "warning");
        b.push(items, std::move(banner));
        if (message.type != MESSAGE_TYPE::INFO) {
            addTroubleshootingDocsLink(document, items);
            recovery = true;
        }
    }

    if (engine.runtimeState == RuntimeState::INSTALLED) {
        std::set<std::string> seen;
        for (const auto* stage : Utils::flattenPipelineParameters(settings.stages)) {
            if (!stage->model || !seen.insert(stage->model->id).second)
                continue;
            const auto& model = *stage->model;
            const auto errors = model.errors.get();
            if (model.status == 4 && !errors.empty()) {
                std::string message = "Model " + model.name + " has errors:\n";
                for (const auto& error : errors)
                    message += error + "\n";
                Value banner = b.object("Banner");
                b.add(banner, "text", message);
                b.add(banner, "icon", "warning");
                b.push(items, std::move(banner));
                addTroubleshootingDocsLink(document, items);
                modelFailure = true;
                recovery = true;
            } else if (model.status == 1) {
                Value banner = b.object("Banner");
                b.add(banner, "text",
                      "Model " + model.name + " is downloading: (" + std::to_string(model.downloadProgress) +
                          "%)");
                b.add(banner, "icon", "info");
                b.push(items, std::move(banner));
            }
        }
    }

    {
        Value rowItems = b.array();
        const auto recoveryButton = [&](const char* name, const char* caption, const char* description) {
            Value button = b.button(name, caption, description);
            b.add(button, "visible", recovery);
            b.push(rowItems, std::move(button));
        };
        recoveryButton(SettingStrings::ResetSingleDevice, "Reset This Device",
                       "This will reset this device to its default configuration.");
        recoveryButton(SettingStrings::ResetAllDevices, "Reset All Devices",
                       "This will reset all initialized devices to their default configurations.");
        recoveryButton(
            SettingStrings::ClearCache, "Clear Cache",
            "This will clear all files downloaded by the plugin, forcing them to be redownloaded.");
        if (modelFailure)
            b.push(rowItems, b.button(SettingStrings::ModelDownloadRetry, "Retry Model Downloads",
                                      "This will retry all failed model downloads."));
        Value row = b.object("Row");
        b.add(row, "items", std::move(rowItems));
        b.push(items, std::move(row));
    }

    {
        std::string description;
        describePipeline(settings.stages, 0, description);
        Value overviewItems = b.array();
        b.push(overviewItems, b.banner("info", "Active AI Runtime: " + engine.installedRuntime +
                                                   "\n\nPipelines active on this device:\n" + description));
        b.push(overviewItems, b.object("Separator"));
        b.push(items, b.groupBox("Device Overview", std::move(overviewItems), ready));
    }

    addStageSections(b, settings.stages, sections, ready, custom);

    document.AddMember("items", items, b.allocator);
    document.AddMember("sections", sections, b.allocator);
    std::string model = Utils::finaliseDocument(document);
    vekai_vlog_verbose("Device Agent Settings Model: %s\n", model.c_str());
    return model;
}

}  // namespace DeviceSettingsModel
