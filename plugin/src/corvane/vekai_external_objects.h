// The objects postprocessor documents: the request carrying a pass's objects and events to an
// external program, and how its answer is applied to the objects of the pass.
#pragma once

#include <optional>
#include <span>
#include <vector>

#include "corvane/vekai_external_processors.h"
#include "corvane/vekai_postprocessor.h"
#include "vekai_utilities/external_processor_utilities.h"

namespace vekai {

// Image and tensors are included as the processor asks; settings come from the request's stage.
std::optional<EncodedMessage> serializeObjectsToMessagepack(const InferenceInput_t& request,
                                                            const ObjectsByClass& objects,
                                                            const std::vector<EventPtr>& events,
                                                            const ExternalPostprocessor_t& processor,
                                                            const Tensors* tensors);

// Objects of the answer that name a sent object (one of `sent`, or the request's parent object)
// change that object in place; objects with only "NewID" are new. Malformed parts are skipped.
PostprocessingOutput_t deserializeObjectsFromMessagepack(const InferenceInput_t& request,
                                                         const ObjectsByClass& sent,
                                                         std::span<const uint8_t> answer);

}  // namespace vekai
