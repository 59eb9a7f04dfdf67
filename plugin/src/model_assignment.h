// Turns the cloud's per-device documents into model records and pipeline trees: one model per
// UUID with the download for the installed runtime, and the nodes of each device pipeline.
#pragma once

#include <rapidjson/document.h>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "corvane/vekai_corvane_utils.h"
#include "corvane/vekai_external_processors.h"

class MessagingManager;

namespace ModelAssignment {

using ModelMap = std::map<std::string, std::shared_ptr<ModelDetails_t>>;

// Where the chosen download's files go, and what the installed runtime accepts.
struct DownloadContext {
    std::string runtimeName;
    std::string mimeType;
    std::string modelFilesDirectory;
    std::string keysDirectory;
};

// Rebuilds the model map from the device list; a bad model is skipped with the
// "PARSE_MODEL_FAILED" notice, which a clean call removes. Elements without a string id are skipped.
void parseAssignedModels(const rapidjson::Value& devices, const DownloadContext& context, ModelMap& models,
                         MessagingManager& messages);

// Applies "raw_postprocessing.json" of the working directory to every model of the map.
void applyRawPostprocessingConfig(const std::string& path, ModelMap& models);

struct PipelineParse {
    std::vector<pipeline_stage_parameters_t> stages;
    bool failed = false;
};

// Parses a list of pipeline nodes whose stage ids start with the prefix.
PipelineParse parsePipelineNodes(const rapidjson::Value* nodes, const std::string& prefix,
                                 const std::string& deviceId, const ModelMap& models,
                                 const vekai::ExternalPreprocessorTable& externalPreprocessors,
                                 const vekai::ExternalPostprocessorTable& externalPostprocessors,
                                 MessagingManager& messages);

}  // namespace ModelAssignment
