#include "corvane_interface.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <utility>

#include "ini_manager.h"
#include "vekai_utilities/vekai_utils.h"

namespace {

// Releases one permit when the worker ends, whatever happens inside it.
class PermitGuard {
public:
    explicit PermitGuard(std::counting_semaphore<CorvaneInterface::kMaxWorkers>& permits)
        : permits(permits) {}
    ~PermitGuard() { permits.release(); }
    PermitGuard(const PermitGuard&) = delete;
    PermitGuard& operator=(const PermitGuard&) = delete;

private:
    std::counting_semaphore<CorvaneInterface::kMaxWorkers>& permits;
};

vekai::CropBox cropOf(const pipeline_stage_parameters_t& stage) {
    return {stage.crop[0], stage.crop[1], stage.crop[2], stage.crop[3]};
}

TensorsPtr copyTensors(const Tensors& source) {
    const auto entries = tensor_entries(&source);
    auto copy = allocate_tensors(source.id, static_cast<int32_t>(entries.size()));
    for (size_t i = 0; i < entries.size(); ++i)
        fill_tensor(copy->tensors[i], entries[i].name ? entries[i].name : "", entries[i].type,
                    tensor_dims(entries[i]), entries[i].data, entries[i].data ? entries[i].size : 0);
    return copy;
}

// Every output declared by the parent's model must be an input of the child's model.
const TensorDetails_t* firstUnmatchedOutput(const ModelDetails_t& parent, const ModelDetails_t& child) {
    for (const auto& output : parent.outputs) {
        const bool matched =
            std::any_of(child.inputs.begin(), child.inputs.end(), [&](const TensorDetails_t& input) {
                return input.name == output.name && input.shape == output.shape && input.type == output.type;
            });
        if (!matched)
            return &output;
    }
    return nullptr;
}

int64_t workerLimitFromConfiguration() {
    return std::clamp<int64_t>(ini().concurrentInputOutputThreads(), 1, CorvaneInterface::kMaxWorkers);
}

}  // namespace

CorvaneInterface::CorvaneInterface(const std::string& rootDir, const std::string& homeDir,
                                   MessagingManager& messages)
    : rootDir(rootDir),
      homeDir(homeDir),
      messagingManager(messages),
      workerLimit(workerLimitFromConfiguration()),
      inputPermits(workerLimit),
      outputPermits(workerLimit),
      postProcessor(rootDir) {
    vekai_vlog("Using Corvane root folder: %s\n", rootDir.c_str());
}

CorvaneInterface::~CorvaneInterface() {
    accepting.store(false);
    stopOutputLoop();
    waitForInFlightInferences();
    destroyEngine();
}

void CorvaneInterface::initialize() {
    postProcessor.initialize();
    preprocessor.initializeExternalPreprocessors(rootDir);
    initialized.store(true);
}

void CorvaneInterface::requestExternalProcessorsShutdown() {
    vekai::requestExternalProcessorsExit(preprocessor.getExternalPreprocessors());
    vekai::requestExternalProcessorsExit(postProcessor.getExternalPostprocessors());
}

void CorvaneInterface::sendReferenceRunCommand(const std::string& deviceId, const std::string& stageId) {
    postProcessor.addReferenceRun(deviceId, stageId);
}

void CorvaneInterface::processParameters(const ModelMap& models) {
    bool anyReady = false;
    for (const auto& [id, model] : models) {
        if (model->status == static_cast<int32_t>(ModelStatus::READY))
            anyReady = true;
        else
            vekai_vlog("Not starting inference engine for model %s\n", model->id.c_str());
    }
    if (!anyReady)
        return;
    if (const auto engine = currentEngine()) {
        accepting.store(false);
        waitForInFlightInferences();
        engine->processParameters(models);
        accepting.store(true);
    } else {
        auto created = std::make_shared<InferenceEngine>(rootDir, models, outputQueue, messagingManager);
        std::lock_guard lock(engineMutex);
        inferenceEngine = std::move(created);
    }
    startOutputLoop();
}

void CorvaneInterface::startOutputLoop() {
    if (outputLoopThread.joinable())
        return;
    vekai_vlog("Starting output loop thread...\n");
    outputLoopThread = std::jthread([this](std::stop_token stopToken) { inferenceOutputLoop(stopToken); });
}

void CorvaneInterface::stopOutputLoop() {
    if (!outputLoopThread.joinable())
        return;
    outputLoopThread.request_stop();
    outputLoopThread.join();
    outputLoopThread = std::jthread();
}

void CorvaneInterface::sendInputMessage(vek::sdk::Ptr<vek::sdk::analytics::IUncompressedVideoFrame1> frame,
                                        std::shared_ptr<const DeviceAgentSettings_t> settings,
                                        std::shared_ptr<DeviceAgentDetails_t> details,
                                        InferenceResultCallback callback) {
    VekAITimer timer("sendInputMessage");
    const auto engine = currentEngine();
    if (!engine || engine->getState() == EngineState::STOPPING || !accepting.load()) {
        vekai_vlog(
            "Warning! Tried sending message to inference engine before it's initialized, while it's "
            "stopping, or "
            "while it's being reconfigured.\n");
        return;
    }
    if (!frame || !settings || !details)
        return;

    for (const auto& stage : settings->stages) {
        engine->logAttemptedInput(details->deviceId);
        timer.lap("input logging");
        if (!engine->canReceiveInput()) {
            vekai_vlog_verbose("Warning! Engine not ready for input.\n");
            continue;
        }
        if (!inputPermits.try_acquire()) {
            vekai_vlog("Warning! Input processing queue is full!\n");
            continue;
        }
        InputJob job;
        job.timestampUs = frame->timestampUs();
        if (stage.useVideoFrame) {
            const ImageOrder order = stage.model ? stage.model->order : ImageOrder::Planar;
            job.videoFrame = std::make_shared<vekai::VideoFrame>(*frame, order);
            timer.lap("rgb_frame");
        } else {
            job.tensors = preprocessor.preprocessDirect(*frame, stage, cropOf(stage));
            if (!job.tensors) {
                vekai_vlog("Warning! Could not preprocess frame!\n");
                inputPermits.release();
                continue;
            }
            timer.lap("preprocessDirect");
        }
        job.width = static_cast<uint64_t>(frame->width());
        job.height = static_cast<uint64_t>(frame->height());
        job.settings = settings;
        job.details = details;
        job.stage = &stage;
        job.callback = callback;
        if (!accepting.load()) {
            vekai_vlog_verbose("Rejecting input: engine is being reconfigured.\n");
            inputPermits.release();
            continue;
        }
        std::thread([this, job = std::move(job)]() mutable {
            // Released only after the job and everything it holds are gone.
            PermitGuard permit(inputPermits);
            processAndSendInput(std::exchange(job, InputJob{}));
        }).detach();
        timer.lap("thread_dispatch");
    }
}

void CorvaneInterface::processAndSendInput(InputJob job) {
    VekAITimer timer("processAndSendInput");
    const pipeline_stage_parameters_t& stage = *job.stage;
    if (!job.tensors) {
        const std::shared_ptr<vekai::VideoFrame> replaced =
            job.details
                ? preprocessor.handleImagePreprocessor(job.timestampUs, *job.videoFrame, stage, *job.details)
                : nullptr;
        job.tensors = preprocessor.preprocess(replaced ? *replaced : *job.videoFrame, stage, cropOf(stage));
        if (!job.tensors)
            return;
        timer.lap("preprocess");
    }
    auto input = std::make_shared<InferenceInput_t>();
    input->timestampUs = job.timestampUs;
    input->videoFrame = job.videoFrame;
    input->frameWidth = job.width;
    input->frameHeight = job.height;
    input->settings = job.settings;
    input->details = job.details;
    input->stage = job.stage;
    input->callback = std::move(job.callback);
    input->roi = {stage.crop[0], stage.crop[1], stage.crop[2] - stage.crop[0], stage.crop[3] - stage.crop[1]};
    if (TensorsPtr replaced = preprocessor.handleTensorPreprocessors(*input, job.tensors.get()))
        job.tensors = std::move(replaced);
    timer.lap("inference input");
    if (const auto engine = currentEngine())
        engine->sendInput(input, job.tensors);
    timer.lap("sendInput");
}

void CorvaneInterface::inferenceOutputLoop(std::stop_token stopToken) {
    vekai_vlog("Started inference output loop\n");
    VekAITimer timer("inferenceOutputLoop");
    while (!stopToken.stop_requested()) {
        vekai_vlog_verbose("Inference engine output queue size: %zu\n",
                           static_cast<size_t>(outputQueue.size()));
        auto result = outputQueue.pop_wait(1000);
        if (!result) {
            timer.lap("timeout");
            continue;
        }
        timer.lap("output wait");
        if (!outputPermits.try_acquire()) {
            vekai_vlog("Warning! Output processing queue is full!\n");
            continue;
        }
        if (!accepting.load()) {
            vekai_vlog_verbose("Skipping output dispatch while reconfiguring.\n");
            outputPermits.release();
            continue;
        }
        std::thread([this, output = std::move(*result)]() mutable {
            PermitGuard permit(outputPermits);
            processOutput(std::move(output));
        }).detach();
        timer.lap("thread dispatch");
    }
}

void CorvaneInterface::processOutput(InferenceOutput_t result) {
    VekAITimer timer("processOutput");
    const std::shared_ptr<InferenceInput_t> request = result.input;
    if (!request || !request->stage)
        return;
    vekai::PostprocessingOutput_t processed = postProcessor.process(result);
    timer.lap("process");

    const pipeline_stage_parameters_t& stage = *request->stage;
    if (!stage.children.empty()) {
        handlePipelineChaining(request, result.tensors.get(), processed.objects);
        timer.lap("chaining");
    }

    ObjectPacketPtr objectPacket;
    for (const auto& [className, objects] : processed.objects) {
        const auto active = stage.activeClasses.find(className);
        if (active == stage.activeClasses.end() || !active->second) {
            vekai_vlog_verbose("Class %s not active in visualisation settings, dropping %zu object(s).\n",
                               className.c_str(), objects.size());
            continue;
        }
        for (const auto& object : objects) {
            if (!objectPacket) {
                objectPacket = ObjectPacketPtr(new vek::sdk::analytics::ObjectMetadataPacket());
                objectPacket->setTimestampUs(request->timestampUs);
                objectPacket->setDurationUs(1);
            }
            objectPacket->addItem(vekai::PostProcessor::createObjectMetadata(*object));
        }
    }
    EventPacketPtr eventPacket;
    if (!processed.events.empty()) {
        eventPacket = EventPacketPtr(new vek::sdk::analytics::EventMetadataPacket());
        eventPacket->setTimestampUs(request->timestampUs);
        eventPacket->setDurationUs(1);
        for (const auto& event : processed.events)
            eventPacket->addItem(event);
    }
    std::vector<BestShotPacketPtr> bestShots;
    for (const auto& bestShot : processed.bestShots) {
        bestShots.emplace_back(new vek::sdk::analytics::ObjectTrackBestShotPacket(
            bestShot.trackId, request->timestampUs,
            bestShot.boundingBox.value_or(vek::sdk::analytics::Rect{})));
    }
    timer.lap("gather packets");
    if ((objectPacket || eventPacket || !bestShots.empty()) && request->callback) {
        request->callback(std::move(objectPacket), std::move(eventPacket), std::move(bestShots));
        timer.lap("callback");
    }
}

void CorvaneInterface::sendChildInput(const std::shared_ptr<InferenceInput_t>& parent,
                                      const pipeline_stage_parameters_t& child,
                                      std::shared_ptr<VekAIObject_t> parentObject,
                                      const std::array<float, 4>& roi, TensorsPtr tensors) {
    auto input = std::make_shared<InferenceInput_t>();
    input->timestampUs = parent->timestampUs;
    input->videoFrame = parent->videoFrame;
    input->frameWidth = parent->frameWidth;
    input->frameHeight = parent->frameHeight;
    input->settings = parent->settings;
    input->details = parent->details;
    input->callback = parent->callback;
    input->stage = &child;
    input->parentObject = std::move(parentObject);
    input->roi = roi;
    if (const auto engine = currentEngine())
        engine->sendInput(input, tensors);
}

void CorvaneInterface::handlePipelineChaining(const std::shared_ptr<InferenceInput_t>& request,
                                              const Tensors* tensors, const vekai::ObjectsByClass& objects) {
    const pipeline_stage_parameters_t& parentStage = *request->stage;
    for (const auto& child : parentStage.children) {
        switch (static_cast<ChainMethod>(child.chainMethod)) {
            case ChainMethod::Direct: {
                if (!tensors || !parentStage.model || !child.model)
                    break;
                if (const auto* unmatched = firstUnmatchedOutput(*parentStage.model, *child.model)) {
                    vekai_vlog("Warning! Couldn't find a match for tensor: %s to chain directly.\n",
                               unmatched->name.c_str());
                    break;
                }
                sendChildInput(request, child, nullptr, {0, 0, 1, 1}, copyTensors(*tensors));
                break;
            }
            case ChainMethod::FeatureExtraction: {
                if (!request->videoFrame)
                    break;
                const auto found = objects.find(child.featureExtractionClass);
                if (found == objects.end())
                    break;
                for (const auto& object : found->second) {
                    if (object->skipFeatureExtraction)
                        continue;
                    const auto& box = object->boundingBox;
                    auto cropped = preprocessor.preprocess(
                        *request->videoFrame, child, {box.x, box.y, box.x + box.width, box.y + box.height});
                    if (!cropped) {
                        vekai_vlog("Warning: Failed to preprocess input for feature extraction chain\n");
                        continue;
                    }
                    sendChildInput(request, child, object, {box.x, box.y, box.width, box.height},
                                   std::move(cropped));
                }
                break;
            }
            case ChainMethod::Conditional: {
                if (!request->videoFrame)
                    break;
                bool triggered = false;
                for (const auto& entry : tensor_entries(tensors)) {
                    if (entry.name && std::strcmp(entry.name, "Trigger") == 0 && entry.type == 9 &&
                        entry.data && entry.size > 0) {
                        triggered = *static_cast<const uint8_t*>(entry.data) != 0;
                        break;
                    }
                }
                if (!triggered) {
                    vekai_vlog_verbose("Trigger is false, skipping conditional chain\n");
                    break;
                }
                vekai_vlog_verbose("Trigger is true, processing conditional chain\n");
                auto input = preprocessor.preprocess(*request->videoFrame, child, cropOf(child));
                if (!input) {
                    vekai_vlog("Warning: Failed to preprocess input for conditional chain\n");
                    break;
                }
                sendChildInput(request, child, nullptr, request->roi, std::move(input));
                break;
            }
        }
    }
}

void CorvaneInterface::waitForInFlightInferences() {
    for (auto* permits : {&inputPermits, &outputPermits}) {
        for (int64_t i = 0; i < workerLimit; ++i)
            permits->acquire();
        permits->release(workerLimit);
    }
}

void CorvaneInterface::stopInferenceEngine() {
    // The runtime is stopped only with the engine, once no worker can be inside sendInput.
    if (const auto engine = currentEngine())
        engine->markStopping();
    accepting.store(false);
    stopOutputLoop();
    waitForInFlightInferences();
    destroyEngine();
    accepting.store(true);
}

std::shared_ptr<InferenceEngine> CorvaneInterface::currentEngine() const {
    std::lock_guard lock(engineMutex);
    return inferenceEngine;
}

// Left to the last holder, the engine would stop and unload its runtime on a host thread, at a time
// of that thread's choosing, possibly while a new engine already starts the runtime again.
void CorvaneInterface::destroyEngine() {
    std::shared_ptr<InferenceEngine> engine;
    {
        std::lock_guard lock(engineMutex);
        engine = std::move(inferenceEngine);
    }
    // Nobody can take a new reference now; a host call still inside sendInputMessage ends soon.
    while (engine && engine.use_count() > 1)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    engine.reset();
}
