// Places in the pass where external postprocessor programs and dumping detection take part. They
// are called in their final order; until those modules exist they keep the pass's own data.
#include "corvane/vekai_postprocessor.h"

namespace vekai {

void PostProcessor::initializeExternalPostprocessors() {}

TensorsPtr PostProcessor::handleTensorPostprocessors(const InferenceOutput_t&) {
    return nullptr;
}

std::optional<PostprocessingOutput_t> PostProcessor::handleObjectsPostprocessors(
    const std::shared_ptr<InferenceInput_t>&, const ObjectsByClass&, const std::vector<EventPtr>&,
    const Tensors*) {
    return std::nullopt;
}

void PostProcessor::loadDumpingKnownBboxes() {}

EventPtr PostProcessor::process_dumping(const std::shared_ptr<InferenceInput_t>&, const ObjectsByClass&) {
    return {};
}

}  // namespace vekai
