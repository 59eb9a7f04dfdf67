// The external half of preprocessing: the stage's image preprocessor may replace the frame, its
// tensor preprocessor the finished input set.
#include "corvane/vekai_external_config.h"
#include "corvane/vekai_external_dispatch.h"
#include "corvane/vekai_external_process.h"
#include "corvane/vekai_preprocessor.h"
#include "vekai_utilities/external_processor_utilities.h"
#include "vekai_utilities/vekai_utils.h"

namespace vekai {

namespace {

const ExternalPreprocessor_t* activePreprocessor(const pipeline_stage_parameters_t* stage, int32_t schedule) {
    if (stage == nullptr)
        return nullptr;
    const ExternalPreprocessor_t* processor = stage->externalPreprocessor;
    if (processor == nullptr || processor->schedule != schedule || !processor->process ||
        processor->process->hasChildProcessExited())
        return nullptr;
    return processor;
}

}  // namespace

void Preprocessor::initializeExternalPreprocessors(const std::string& rootDir) {
    externalPreprocessors = loadExternalPreprocessors(rootDir);
}

std::shared_ptr<VideoFrame> Preprocessor::handleImagePreprocessor(int64_t timestampUs,
                                                                  const VideoFrame& frame,
                                                                  const pipeline_stage_parameters_t& stage,
                                                                  const DeviceAgentDetails_t& details) const {
    const ExternalPreprocessor_t* processor = activePreprocessor(&stage, 0);
    if (processor == nullptr)
        return nullptr;
    VekAITimer timer("ImagePreprocessor");
    ImagePreprocessorMessage request;
    request.timestampUs = timestampUs;
    request.deviceId = details.deviceId;
    request.deviceName = details.deviceName;
    request.height = frame.height();
    request.width = frame.width();
    request.layout = frame.layout();
    request.data.assign(frame.data().begin(), frame.data().end());
    request.userSettings = stage.preprocessorSettings;
    const std::optional<EncodedMessage> encoded = writeImagePreprocessorMessage(request);
    if (!encoded)
        return nullptr;
    timer.lap("serialize");

    // An image preprocessor is always waited for, whatever its declaration says.
    const Utils::ExchangeResult exchange = Utils::exchangeWithProcessor(
        *processor->process, *processor->responses, Utils::makeCorrelationKey(details.deviceId, timestampUs),
        encoded->bytes(), processor->timeoutMs, timer);
    switch (exchange.outcome) {
        case Utils::ExchangeOutcome::SendFailed:
            vekai_vlog("Warning! Failed to send to preprocessor: %s\n", processor->name.c_str());
            return nullptr;
        case Utils::ExchangeOutcome::TimedOut:
            vekai_vlog("Warning! Timed out waiting for response from preprocessor: %s\n",
                       processor->name.c_str());
            return nullptr;
        case Utils::ExchangeOutcome::NeverDelivered:
            return nullptr;
        case Utils::ExchangeOutcome::Answered:
            break;
    }
    std::optional<ImagePreprocessorMessage> answer = parseImagePreprocessorMessage(exchange.answer);
    timer.lap("deserialize");
    if (!answer)
        return nullptr;
    return std::make_shared<VideoFrame>(answer->data, answer->width, answer->height,
                                        ImageOrder(answer->layout));
}

TensorsPtr Preprocessor::handleTensorPreprocessors(const InferenceInput_t& request,
                                                   const Tensors* tensors) const {
    const ExternalPreprocessor_t* processor = activePreprocessor(request.stage, 1);
    if (processor == nullptr)
        return nullptr;
    VekAITimer timer("TensorsPreprocessor");
    const std::optional<EncodedMessage> encoded =
        writeTensorsMessageMpack(request, tensors, request.stage->preprocessorSettings);
    if (!encoded)
        return nullptr;
    timer.lap("serialize");

    if (processor->noResponse) {
        vekai_vlog_verbose("Sending message to external preprocessor %s\n", processor->name.c_str());
        processor->process->sendMessage(encoded->bytes());
        timer.lap("send");
        return nullptr;
    }
    vekai_vlog_verbose("Sending message to external preprocessor %s\n", processor->name.c_str());
    vekai_vlog_verbose("Waiting for response from preprocessor %s\n", processor->name.c_str());
    const std::string deviceId = request.details ? request.details->deviceId : std::string();
    const Utils::ExchangeResult exchange = Utils::exchangeWithProcessor(
        *processor->process, *processor->responses, Utils::makeCorrelationKey(deviceId, request.timestampUs),
        encoded->bytes(), processor->timeoutMs, timer);
    if (exchange.outcome == Utils::ExchangeOutcome::TimedOut)
        vekai_vlog("Warning: No response from tensor preprocessor\n");
    if (exchange.outcome != Utils::ExchangeOutcome::Answered)
        return nullptr;
    vekai_vlog_verbose("Received response from preprocessor %s\n", processor->name.c_str());
    TensorsPtr answer = parseTensorsMessageMpack(exchange.answer);
    timer.lap("deserialize");
    return answer;
}

}  // namespace vekai
