#include "corvane/vekai_corvane_utils.h"

namespace Utils {

namespace {

template <class Stages, class Visit>
void walkPreOrder(Stages& stages, const Visit& visit) {
    for (auto& stage : stages) {
        visit(stage);
        walkPreOrder(stage.children, visit);
    }
}

}  // namespace

std::map<std::string, std::shared_ptr<ModelDetails_t>> gatherModelsFromPipeline(
    const std::vector<pipeline_stage_parameters_t>& stages) {
    std::map<std::string, std::shared_ptr<ModelDetails_t>> models;
    walkPreOrder(stages, [&](const pipeline_stage_parameters_t& stage) {
        if (stage.model)
            models.emplace(stage.model->id, stage.model);
    });
    return models;
}

std::vector<const pipeline_stage_parameters_t*> flattenPipelineParameters(
    const std::vector<pipeline_stage_parameters_t>& stages) {
    std::vector<const pipeline_stage_parameters_t*> flat;
    walkPreOrder(stages, [&](const pipeline_stage_parameters_t& stage) { flat.push_back(&stage); });
    return flat;
}

std::map<std::string, pipeline_stage_parameters_t*> flattenPipelineParametersMap(
    std::vector<pipeline_stage_parameters_t>& stages) {
    std::map<std::string, pipeline_stage_parameters_t*> byId;
    walkPreOrder(stages, [&](pipeline_stage_parameters_t& stage) { byId.emplace(stage.stageId, &stage); });
    return byId;
}

}  // namespace Utils
