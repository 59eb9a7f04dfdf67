#include "model_assignment.h"

#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "corvane/raw_postprocessors/raw_postprocessor_architecture.h"
#include "corvane/vekai_postprocessor_utils.h"
#include "messaging_manager.h"
#include "utils/bounded_json.h"
#include "utils/plugin_utils.h"
#include "vekai_utilities/vekai_utils.h"

namespace ModelAssignment {

namespace {

constexpr const char* kTimeFormat = "%Y-%m-%dT%H:%M:%S";

const rapidjson::Value* member(const rapidjson::Value& object, const char* key) {
    if (!object.IsObject())
        return nullptr;
    const auto found = object.FindMember(key);
    return found == object.MemberEnd() ? nullptr : &found->value;
}

const rapidjson::Value* nonEmptyObjectMember(const rapidjson::Value& object, const char* key) {
    const rapidjson::Value* value = member(object, key);
    return value && value->IsObject() && value->MemberCount() > 0 ? value : nullptr;
}

uint64_t integerOrZero(const rapidjson::Value& value) {
    return value.IsUint64() ? value.GetUint64() : 0;
}

std::array<float, 3> threeNumbers(const rapidjson::Value& details, const char* key) {
    const rapidjson::Value& value = Utils::jsonRequireVal(details, key);
    const std::string failure = std::string("'") + key + "' must have exactly " + "3" + " values.";
    if (!value.IsArray() || value.Size() != 3)
        throw std::runtime_error(failure);
    std::array<float, 3> numbers{};
    for (rapidjson::SizeType i = 0; i < 3; ++i) {
        if (!value[i].IsNumber())
            throw std::runtime_error(failure);
        numbers[i] = static_cast<float>(value[i].GetDouble());
    }
    return numbers;
}

TensorDetails_t parseTensor(const rapidjson::Value& element) {
    TensorDetails_t tensor;
    tensor.type = get_tensor_type_from_string(Utils::jsonRequireString(element, "DataType"));
    tensor.name = Utils::jsonRequireString(element, "Name");
    const rapidjson::Value& shape = Utils::jsonRequireVal(element, "Shape");
    tensor.dataSize = get_type_size(tensor.type);
    if (shape.IsArray()) {
        for (const auto& dimension : shape.GetArray()) {
            tensor.shape.push_back(integerOrZero(dimension));
            tensor.dataSize *= tensor.shape.back();
        }
    }
    return tensor;
}

std::vector<TensorDetails_t> parseTensors(const rapidjson::Value& model, const char* key) {
    std::vector<TensorDetails_t> tensors;
    const rapidjson::Value& list = Utils::jsonRequireVal(model, key);
    if (list.IsArray()) {
        for (const auto& element : list.GetArray())
            tensors.push_back(parseTensor(element));
    }
    return tensors;
}

bool isUsableFileName(const std::string& name) {
    return !name.empty() && name != "." && name != "..";
}

void chooseDownload(const rapidjson::Value& model, const DownloadContext& context, ModelDetails_t& record) {
    const rapidjson::Value& downloads = Utils::jsonRequireVal(model, "Downloads");
    bool matched = false;
    if (downloads.IsArray()) {
        for (const auto& download : downloads.GetArray()) {
            if (Utils::jsonRequireString(download, "RuntimeArchitecture") != context.mimeType)
                continue;
            matched = true;
            record.downloadUrl = Utils::jsonRequireString(download, "Url");
            const std::string fileName = Utils::filenameFromUrl(record.downloadUrl);
            // A name that is empty or points at a directory would make the cache path unsafe.
            if (!isUsableFileName(fileName))
                throw std::runtime_error("download address has no usable file name: " + record.downloadUrl);
            record.runtimePath = "/dev/shm/" + fileName;
            record.sourcePath = Utils::joinPaths({context.modelFilesDirectory, fileName});
            record.keyPath = Utils::joinPaths({context.keysDirectory, record.id + ".vekc"});

            const std::string lastModified = Utils::jsonRequireString(download, "LastModified");
            vekai_vlog_verbose("Model metadata last modified: %s\n", lastModified.c_str());
            const auto modifiedAt = Utils::stringToTime(lastModified, kTimeFormat);
            if (!modifiedAt)
                vekai_vlog("Warning: Could not parse LastModified time for model %s: %s\n", record.id.c_str(),
                           lastModified.c_str());
            record.lastModified = modifiedAt.value_or(0);

            const rapidjson::Value& size = Utils::jsonRequireVal(download, "Size");
            if (size.IsInt64() && size.GetInt64() > 0) {
                record.downloadSize = size.GetInt64();
                return;
            }
            vekai_vlog("Warning! Download has filesize of zero: %s\n", record.downloadUrl.c_str());
            record.downloadSize.reset();
        }
    }
    if (!matched) {
        vekai_vlog("Warning! Could not find download for mimetype: %s\n", context.mimeType.c_str());
        record.status = static_cast<int32_t>(ModelStatus::FAILED);
        record.errors.push_back("This model is not compatible with the selected runtime.\nRuntime: " +
                                context.runtimeName + " has mimetype: " + context.mimeType);
    }
}

void parseInputDriverDetails(const rapidjson::Value& model, ModelDetails_t& record) {
    const rapidjson::Value& details = Utils::jsonRequireVal(model, "InputDriverDetails");
    record.inputWidth = integerOrZero(Utils::jsonRequireVal(details, "width"));
    record.inputHeight = integerOrZero(Utils::jsonRequireVal(details, "height"));
    record.inputChannels = integerOrZero(Utils::jsonRequireVal(details, "channels"));
    record.vars = threeNumbers(details, "vars");
    record.means = threeNumbers(details, "means");
    const rapidjson::Value& order = Utils::jsonRequireVal(details, "order");
    record.order = order.IsInt() && order.GetInt() == 1 ? ImageOrder::Interleaved : ImageOrder::Planar;
}

// Returns the record to insert, or nothing when an equal or newer definition is kept.
std::shared_ptr<ModelDetails_t> parseModel(const rapidjson::Value& model, const DownloadContext& context,
                                           ModelMap& models) {
    const std::string uuid = Utils::jsonRequireString(model, "UUID");
    const std::string updatedText = Utils::jsonRequireString(model, "UpdatedAt");
    const auto updatedAt = Utils::stringToTime(updatedText, kTimeFormat);
    if (!updatedAt) {
        vekai_vlog("Warning: Could not parse UpdatedAt time for model %s: %s\n", uuid.c_str(),
                   updatedText.c_str());
        return nullptr;
    }
    if (const auto existing = models.find(uuid); existing != models.end()) {
        if (existing->second->updatedAt >= *updatedAt)
            return nullptr;
        models.erase(existing);
    }

    auto record = std::make_shared<ModelDetails_t>();
    record->id = uuid;
    record->updatedAt = *updatedAt;
    record->name = Utils::jsonRequireString(model, "Name");
    record->runtimeName = context.runtimeName;
    record->rawConfidenceThreshold = 0.25f;
    record->rawIouThreshold = 0.45f;
    chooseDownload(model, context, *record);
    parseInputDriverDetails(model, *record);
    record->inputs = parseTensors(model, "NamedInput");
    record->outputs = parseTensors(model, "NamedOutput");
    for (const auto& output : record->outputs) {
        if (output.name.size() >= 20 && output.name.rfind("bboxes-format:xyxysc", 0) == 0) {
            record->boxesOutputName = output.name;
            record->boxesClassNames = Utils::parseNamedOutputClasses(output.name);
        } else if (output.name.size() >= 7 && output.name.rfind("scores-", 0) == 0) {
            record->scoresOutputName = output.name;
            record->scoresClassNames = Utils::parseNamedOutputClasses(output.name);
        }
    }
    return record;
}

// Another model whose download would be stored under the same file from a different address: the
// second one would overwrite the first one's file, and the first one would run the wrong model.
const ModelDetails_t* modelSharingFile(const ModelMap& models, const ModelDetails_t& record) {
    if (record.sourcePath.empty())
        return nullptr;
    for (const auto& [id, other] : models) {
        if (other->sourcePath == record.sourcePath && other->downloadUrl != record.downloadUrl)
            return other.get();
    }
    return nullptr;
}

int32_t chainMethodOf(const rapidjson::Value& node) {
    const rapidjson::Value* method = member(node, "method");
    if (!method || !method->IsString())
        return 0;
    const std::string name = method->GetString();
    if (name == "Direct")
        return static_cast<int32_t>(ChainMethod::Direct);
    if (name == "FeatureExtraction")
        return static_cast<int32_t>(ChainMethod::FeatureExtraction);
    if (name == "Conditional")
        return static_cast<int32_t>(ChainMethod::Conditional);
    return 0;
}

}  // namespace

void parseAssignedModels(const rapidjson::Value& devices, const DownloadContext& context, ModelMap& models,
                         MessagingManager& messages) {
    models.clear();
    bool anyFailed = false;
    if (devices.IsArray() && !devices.Empty()) {
        for (const auto& device : devices.GetArray()) {
            // One malformed element must not keep every other device's models from being read.
            const rapidjson::Value* id = member(device, "id");
            if (!id || !id->IsString()) {
                vekai_vlog("Warning! Skipping a device element without a string id.\n");
                continue;
            }
            const std::string deviceId(id->GetString(), id->GetStringLength());
            const rapidjson::Value* parameters = member(device, "parameters");
            const rapidjson::Value* vekAI = parameters ? nonEmptyObjectMember(*parameters, "vekAI") : nullptr;
            const rapidjson::Value* assigned = vekAI ? member(*vekAI, "models") : nullptr;
            if (!assigned)
                continue;
            const rapidjson::Value* enabled = member(*vekAI, "PluginEnabled");
            if (!enabled || !enabled->IsBool() || !enabled->GetBool()) {
                vekai_vlog_verbose("Device %s has plugin disabled. Ignoring assigned models.\n",
                                   deviceId.c_str());
                continue;
            }
            if (!assigned->IsArray())
                continue;
            for (const auto& model : assigned->GetArray()) {
                try {
                    if (auto record = parseModel(model, context, models)) {
                        if (const ModelDetails_t* other = modelSharingFile(models, *record))
                            throw std::runtime_error("the download of model " + record->id +
                                                     " would replace the file of model " + other->id + ": " +
                                                     record->downloadUrl);
                        models.emplace(record->id, std::move(record));
                    }
                } catch (const std::exception& failure) {
                    anyFailed = true;
                    vekai_vlog("Warning! Skipping model due to invalid data: %s\n", failure.what());
                    messages.addMessage(
                        "PARSE_MODEL_FAILED",
                        std::string("One or more models failed to parse. This indicates a problem "
                                    "with the metadata : ") +
                            failure.what(),
                        MESSAGE_TYPE::WARNING);
                }
            }
        }
    }
    if (!anyFailed)
        messages.removeMessage("PARSE_MODEL_FAILED");
}

void applyRawPostprocessingConfig(const std::string& path, ModelMap& models) {
    if (!std::filesystem::exists(path)) {
        vekai_vlog("[Engine] No raw_postprocessing.json found at '%s'.\n", path.c_str());
        return;
    }
    std::ifstream file(path);
    std::stringstream content;
    content << file.rdbuf();
    const std::string text = content.str();
    if (!file || text.empty()) {
        vekai_vlog("Warning! [Engine] raw_postprocessing.json is empty.\n");
        return;
    }
    rapidjson::Document document;
    if (Utils::parseBoundedJson(document, text).HasParseError()) {
        vekai_vlog("Warning! [Engine] Failed to parse raw_postprocessing.json.\n");
        return;
    }

    float confidence = 0.25f;
    float iou = 0.45f;
    std::vector<std::string> classNames;
    std::string architectureName;
    // An integer literal counts as 0: only numbers written with a fraction or exponent are values.
    const auto threshold = [](const rapidjson::Value& value, float fallback) {
        if (!value.IsNumber())
            return fallback;
        return value.IsDouble() ? static_cast<float>(value.GetDouble()) : 0.0f;
    };
    if (document.IsObject() && document.MemberCount() > 0) {
        if (const auto* value = member(document, "confidence_threshold"))
            confidence = threshold(*value, confidence);
        if (const auto* value = member(document, "iou_threshold"))
            iou = threshold(*value, iou);
        if (const auto* value = member(document, "class_names"); value && value->IsArray()) {
            for (const auto& name : value->GetArray())
                if (name.IsString())
                    classNames.emplace_back(name.GetString(), name.GetStringLength());
        }
        if (const auto* value = member(document, "modelArchitecture"); value && value->IsString())
            architectureName = value->GetString();
    }
    bool recognised = true;
    const auto architecture = vekai_parse_raw_postprocessing_architecture(architectureName, &recognised);
    if (!recognised)
        vekai_vlog(
            "Warning! [Engine] Unrecognized modelArchitecture '%s' in raw_postprocessing.json; falling back "
            "to "
            "YOLO11.\n",
            architectureName.c_str());
    vekai_vlog(
        "[Engine] Applying raw post-processing config: confidence=%.2f, iou=%.2f, classes=%zu, "
        "architecture=%s.\n",
        confidence, iou, classNames.size(), architectureName.empty() ? "YOLO11" : architectureName.c_str());

    for (auto& [id, model] : models) {
        auto configured = std::make_shared<ModelDetails_t>(*model);
        configured->rawPostprocessingEnabled = true;
        configured->rawConfidenceThreshold = confidence;
        configured->rawIouThreshold = iou;
        configured->rawArchitecture = architecture;
        configured->boxesOutputName = "output0 format:xyxysc";
        if (!classNames.empty() && model->boxesClassNames.empty())
            configured->boxesClassNames = classNames;
        model = std::move(configured);
    }
}

PipelineParse parsePipelineNodes(const rapidjson::Value* nodes, const std::string& prefix,
                                 const std::string& deviceId, const ModelMap& models,
                                 const vekai::ExternalPreprocessorTable& externalPreprocessors,
                                 const vekai::ExternalPostprocessorTable& externalPostprocessors,
                                 MessagingManager& messages) {
    PipelineParse result;
    if (!nodes || !nodes->IsArray()) {
        vekai_vlog("Error! Could not parse device pipelines for %s\n", deviceId.c_str());
        return result;
    }
    for (const auto& node : nodes->GetArray()) {
        try {
            pipeline_stage_parameters_t stage;
            stage.chainMethod = chainMethodOf(node);
            if (stage.chainMethod == static_cast<int32_t>(ChainMethod::FeatureExtraction)) {
                if (const auto* cls = member(node, "featureExtractionClass"); cls && cls->IsString())
                    stage.featureExtractionClass = cls->GetString();
            }
            const std::string modelId = Utils::jsonRequireString(node, "modelUUID");
            const auto model = models.find(modelId);
            if (model == models.end()) {
                vekai_vlog("Error! Pipeline points to unassigned model.\n");
                continue;
            }
            stage.model = model->second;
            stage.stageId = prefix + modelId;

            const rapidjson::Value& nms = Utils::jsonRequireVal(node, "modelNMS");
            stage.nms = nms.IsNumber() ? static_cast<float>(nms.GetDouble()) : 0.0f;
            const std::string resizing = Utils::jsonRequireString(node, "resizingMethod");
            stage.resizingMethod = resizing == "Crop"      ? vekai::ResizingMethod::Crop
                                   : resizing == "Stretch" ? vekai::ResizingMethod::Stretch
                                                           : vekai::ResizingMethod::Letterbox;
            if (const auto* name = member(node, "Preprocessor");
                name && name->IsString() && name->GetStringLength()) {
                stage.preprocessor = name->GetString();
                const auto external = externalPreprocessors.find(stage.preprocessor);
                if (external != externalPreprocessors.end()) {
                    stage.externalPreprocessor = &external->second;
                    vekai_vlog_verbose("Node has external preprocessor: %s\n", stage.preprocessor.c_str());
                } else {
                    vekai_vlog_verbose("Node has preprocessor: %s\n", stage.preprocessor.c_str());
                }
            }
            if (const auto* name = member(node, "Postprocessor");
                name && name->IsString() && name->GetStringLength()) {
                stage.postprocessor = name->GetString();
                const auto external = externalPostprocessors.find(stage.postprocessor);
                if (external != externalPostprocessors.end()) {
                    stage.externalPostprocessor = &external->second;
                    vekai_vlog_verbose("Node has external postprocessor: %s\n", stage.postprocessor.c_str());
                } else {
                    vekai_vlog_verbose("Node has postprocessor: %s\n", stage.postprocessor.c_str());
                }
            }

            auto children = parsePipelineNodes(member(node, "chains"), stage.stageId, deviceId, models,
                                               externalPreprocessors, externalPostprocessors, messages);
            result.failed = result.failed || children.failed;
            stage.children = std::move(children.stages);

            bool childNeedsFrame = false;
            for (const auto& child : stage.children)
                childNeedsFrame = childNeedsFrame || child.useVideoFrame;
            stage.useVideoFrame =
                stage.chainMethod == static_cast<int32_t>(ChainMethod::FeatureExtraction) ||
                stage.chainMethod == static_cast<int32_t>(ChainMethod::Conditional) ||
                (stage.externalPreprocessor && stage.externalPreprocessor->schedule == 0) ||
                (stage.externalPostprocessor && stage.externalPostprocessor->receiveInputImage) ||
                childNeedsFrame;
            result.stages.push_back(std::move(stage));
        } catch (const std::exception& failure) {
            vekai_vlog("Warning! Skipping pipeline node due to invalid data: %s\n", failure.what());
            messages.addMessage(
                "PARSE_PIPELINE",
                std::string("Could not parse pipeline details. Probably an error with metadata: ") +
                    failure.what(),
                MESSAGE_TYPE::WARNING);
            result.failed = true;
        }
    }
    return result;
}

}  // namespace ModelAssignment
