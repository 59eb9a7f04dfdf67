// Places in the pass where external postprocessor programs take part.
#include "corvane/vekai_postprocessor.h"

#include "corvane/vekai_external_config.h"
#include "corvane/vekai_external_dispatch.h"
#include "corvane/vekai_external_objects.h"
#include "corvane/vekai_external_process.h"
#include "vekai_utilities/external_processor_utilities.h"
#include "vekai_utilities/vekai_utils.h"

namespace vekai {

namespace {

const ExternalPostprocessor_t* activePostprocessor(const InferenceInput_t* request, int32_t schedule) {
    if (request == nullptr || request->stage == nullptr)
        return nullptr;
    const ExternalPostprocessor_t* processor = request->stage->externalPostprocessor;
    if (processor == nullptr || processor->schedule != schedule || !processor->process ||
        processor->process->hasChildProcessExited())
        return nullptr;
    return processor;
}

// The answer to an encoded request, or none (logged) when there is none to use.
std::optional<std::vector<uint8_t>> askPostprocessor(const ExternalPostprocessor_t& processor,
                                                     const InferenceInput_t& request,
                                                     const EncodedMessage& encoded, VekAITimer& timer) {
    vekai_vlog_verbose("Sending message to external postprocessor %s\n", processor.name.c_str());
    vekai_vlog_verbose("Waiting for response from postprocessor %s\n", processor.name.c_str());
    const std::string deviceId = request.details ? request.details->deviceId : std::string();
    Utils::ExchangeResult exchange = Utils::exchangeWithProcessor(
        *processor.process, *processor.responses, Utils::makeCorrelationKey(deviceId, request.timestampUs),
        encoded.bytes(), processor.timeoutMs, timer);
    switch (exchange.outcome) {
        case Utils::ExchangeOutcome::SendFailed:
            return std::nullopt;
        case Utils::ExchangeOutcome::TimedOut:
            vekai_vlog("Warning: No response from objects postprocessor\n");
            return std::nullopt;
        case Utils::ExchangeOutcome::NeverDelivered:
            vekai_vlog("Warning: Postprocessor %s response was never delivered\n", processor.name.c_str());
            return std::nullopt;
        case Utils::ExchangeOutcome::Answered:
            break;
    }
    vekai_vlog_verbose("Received response from postprocessor %s\n", processor.name.c_str());
    return std::move(exchange.answer);
}

}  // namespace

void PostProcessor::initializeExternalPostprocessors() {
    externalPostprocessors = loadExternalPostprocessors(workingDirectory);
}

TensorsPtr PostProcessor::handleTensorPostprocessors(const InferenceOutput_t& result) {
    const ExternalPostprocessor_t* processor = activePostprocessor(result.input.get(), 0);
    if (processor == nullptr)
        return nullptr;
    const InferenceInput_t& request = *result.input;
    VekAITimer timer("TensorsPostprocessor");
    const std::optional<EncodedMessage> encoded =
        writeTensorsMessageMpack(request, result.tensors.get(), request.stage->postprocessorSettings);
    if (!encoded)
        return nullptr;
    timer.lap("serialize");
    if (processor->noResponse) {
        processor->process->sendMessage(encoded->bytes());
        timer.lap("send");
        return nullptr;
    }
    const std::optional<std::vector<uint8_t>> answer = askPostprocessor(*processor, request, *encoded, timer);
    if (!answer)
        return nullptr;
    TensorsPtr tensors = parseTensorsMessageMpack(*answer);
    timer.lap("deserialize");
    return tensors;
}

std::optional<PostprocessingOutput_t> PostProcessor::handleObjectsPostprocessors(
    const std::shared_ptr<InferenceInput_t>& request, const ObjectsByClass& objects,
    const std::vector<EventPtr>& events, const Tensors* tensors) {
    const ExternalPostprocessor_t* processor = activePostprocessor(request.get(), 1);
    if (processor == nullptr)
        return std::nullopt;
    VekAITimer timer("ObjectsPostprocessor");
    const std::optional<EncodedMessage> encoded =
        serializeObjectsToMessagepack(*request, objects, events, *processor, tensors);
    if (!encoded)
        return std::nullopt;
    timer.lap("serialize");
    if (processor->noResponse) {
        processor->process->sendMessage(encoded->bytes());
        timer.lap("send");
        return std::nullopt;
    }
    const std::optional<std::vector<uint8_t>> answer =
        askPostprocessor(*processor, *request, *encoded, timer);
    if (!answer)
        return std::nullopt;
    PostprocessingOutput_t output =
        deserializeObjectsFromMessagepack(*request, *answer, objectTracker, timer);
    timer.lap("deserialize");
    if (output.objects.empty() && output.events.empty() && output.bestShots.empty())
        return std::nullopt;
    return output;
}

}  // namespace vekai
