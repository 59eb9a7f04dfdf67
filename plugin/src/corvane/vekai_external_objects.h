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

// Objects of the answer that name a track of the device (of their class, or the request's parent
// object) change that track; objects with only "NewID" become new tracks. The result holds copies.
// Malformed parts are skipped.
PostprocessingOutput_t deserializeObjectsFromMessagepack(const InferenceInput_t& request,
                                                         std::span<const uint8_t> answer,
                                                         ObjectTracker& tracker, VekAITimer& timer);

}  // namespace vekai
