#include "corvane/vekai_inference_engine.h"

#include "vekai_crypto.h"

#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <system_error>

#include "corvane/vekai_runtime_args.h"
#include "ini_manager.h"
#include "messaging_manager.h"
#include "utils/plugin_utils.h"
#include "vekai_utilities/vekai_utils.h"

namespace fs = std::filesystem;

namespace {

constexpr const char* kRuntimeInitFailedMessage = "RUNTIME_INIT_FAILED";
constexpr size_t kModelKeyBytes = 32;

int64_t steadyNowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

bool readWholeFile(const std::string& path, std::string& content) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return false;
    }
    content.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return !in.bad();
}

const std::string& deviceIdOf(const InferenceInput_t& input) {
    static const std::string none;
    return input.details != nullptr ? input.details->deviceId : none;
}

}  // namespace

InferenceEngine::InferenceEngine(const std::string& rootDir, const ModelMap& models, OutputQueue& outputQueue,
                                 MessagingManager& messagingManager)
    : engineDir(Utils::joinPaths({rootDir, "inference_engine"})),
      outputQueue(outputQueue),
      messagingManager(messagingManager),
      engineInput(newEngineWindow()),
      engineOutput(newEngineWindow()),
      maxInFlight(ini().MaxNumberConcurrentInferences) {
    std::error_code error;
    fs::create_directories(engineDir, error);
    if (error) {
        vekai_vlog("Error! Could not create working directory %s: %s\n", engineDir.c_str(),
                   error.message().c_str());
        state.store(EngineState::FAILED);
        return;
    }
    runtime = std::make_unique<VekaiRuntime>(Utils::joinPaths({engineDir, "libRuntimeLibrary.so"}));
    initRuntime(models);
    startOutputThread();
}

InferenceEngine::~InferenceEngine() {
    stopRuntime();
    models.clear();
    modelIndex.clear();
    runtime.reset();
}

ThroughputState_t InferenceEngine::newEngineWindow() const {
    const int window = ini().EngineThroughputWindowSize;
    return ThroughputState_t(window < 1 ? 1 : static_cast<size_t>(window));
}

std::vector<std::pair<std::string, std::string>> InferenceEngine::readRuntimeArgs() const {
    return readRuntimeArgsFile(Utils::joinPaths({engineDir, "runtime_args.json"}));
}

bool InferenceEngine::decryptModelFile(const std::string& keyPath, const std::string& sourcePath,
                                       const std::string& targetPath) const {
    std::string key;
    if (!readWholeFile(keyPath, key) || key.size() < kModelKeyBytes) {
        vekai_vlog("Error! Model key file %s is unreadable or shorter than %zu bytes\n", keyPath.c_str(),
                   kModelKeyBytes);
        return false;
    }
    return vekai_crypto_decrypt_file_to_file(reinterpret_cast<const uint8_t*>(key.data()), sourcePath.c_str(),
                                             targetPath.c_str());
}

bool InferenceEngine::prepareModelFile(const ModelDetails_t& model, PreparedModel& prepared) const {
    std::error_code error;
    if (model.keyPath.empty() || !fs::exists(model.keyPath, error)) {
        // Unencrypted case: a model delivered without a key file is handed to the runtime as downloaded.
        vekai_vlog_verbose("Model %s has no key file; loading it unencrypted from %s\n", model.id.c_str(),
                           model.sourcePath.c_str());
        prepared = {model.sourcePath, false};
        return true;
    }
    // Decrypting onto the source itself would destroy the only copy of the model.
    if (model.runtimePath.empty() || model.runtimePath == model.sourcePath) {
        vekai_vlog("Error! Model %s has no separate file to decrypt into\n", model.id.c_str());
        return false;
    }
    if (!decryptModelFile(model.keyPath, model.sourcePath, model.runtimePath)) {
        return false;
    }
    prepared = {model.runtimePath, true};
    return true;
}

void InferenceEngine::initRuntime(const ModelMap& newModels) {
    state.store(EngineState::INITIALISING);
    const auto args = readRuntimeArgs();
    std::vector<const char*> keys;
    std::vector<const char*> values;
    for (const auto& [name, value] : args) {
        keys.push_back(name.c_str());
        values.push_back(value.c_str());
    }
    Config config{};
    config.count = static_cast<int32_t>(args.size());
    config.keys = args.empty() ? nullptr : keys.data();
    config.values = args.empty() ? nullptr : values.data();

    if (runtime->init(config) != 0) {
        const std::string error = runtime->getError();
        vekai_vlog("Error! Runtime initialization failed: %s\n", error.c_str());
        messagingManager.addMessage(kRuntimeInitFailedMessage,
                                    "Failed to initialize the AI runtime: " + error, MESSAGE_TYPE::WARNING);
        state.store(EngineState::FAILED);
        rememberConfiguredModels(newModels);
        return;
    }
    const char* name = runtime->getName();
    const char* version = runtime->getVersion();
    vekai_vlog("Runtime loaded successfully: %s %s\n", name != nullptr ? name : "",
               version != nullptr ? version : "");

    std::vector<std::string> paths;
    for (const auto& [key, model] : newModels) {
        if (model == nullptr || model->status != static_cast<int32_t>(ModelStatus::READY)) {
            continue;
        }
        PreparedModel prepared;
        if (!prepareModelFile(*model, prepared)) {
            model->status = static_cast<int32_t>(ModelStatus::FAILED);
            model->errors.push_back("Could not decrypt model file: " + model->sourcePath);
            vekai_vlog("Error! Could not decrypt model file: %s\n", model->sourcePath.c_str());
            continue;
        }
        models[key] = model;
        modelIndex[model->id] = static_cast<int>(models.size()) - 1;
        paths.push_back(prepared.path);
        if (prepared.decryptedCopy) {
            decryptedCopies.push_back(prepared.path);
        }
        vekai_vlog_verbose("Adding model to runtime startup: %s\n", prepared.path.c_str());
    }
    std::vector<ModelConfig> configs(paths.size(), ModelConfig{});
    for (size_t i = 0; i < paths.size(); ++i) {
        configs[i].path = paths[i].c_str();
    }
    rememberConfiguredModels(newModels);
    if (runtime->loadModels(static_cast<int>(configs.size()), configs.data()) != 0) {
        const std::string error = runtime->getError();
        vekai_vlog("Warning! Runtime could not load models: %s\n", error.c_str());
        messagingManager.addMessage(kRuntimeInitFailedMessage,
                                    "The AI runtime failed to load the assigned models: " + error,
                                    MESSAGE_TYPE::WARNING);
        state.store(EngineState::FAILED);
        return;
    }
    vekai_vlog("Runtime initialized sucessfully.\n");
    messagingManager.removeMessage(kRuntimeInitFailedMessage);
    state.store(EngineState::RUNNING);
}

void InferenceEngine::rememberConfiguredModels(const ModelMap& newModels) {
    configuredModels.clear();
    for (const auto& [key, model] : newModels) {
        configuredModels[key] =
            model != nullptr ? ModelStamp{model->lastModified, model->status} : ModelStamp{};
    }
}

// Compared with the whole map last configured, including models that could not run: a model that is
// still downloading or failed to decrypt must not restart a running engine on every pass, and one
// that becomes ready must.
bool InferenceEngine::matchesConfiguredModels(const ModelMap& newModels) const {
    if (newModels.size() != configuredModels.size()) {
        return false;
    }
    auto configured = configuredModels.begin();
    for (const auto& [key, model] : newModels) {
        const ModelStamp stamp =
            model != nullptr ? ModelStamp{model->lastModified, model->status} : ModelStamp{};
        if (configured->first != key || configured->second.lastModified != stamp.lastModified ||
            configured->second.status != stamp.status) {
            return false;
        }
        ++configured;
    }
    return true;
}

void InferenceEngine::processParameters(const ModelMap& newModels) {
    if (matchesConfiguredModels(newModels)) {
        return;
    }
    stopRuntime();
    models.clear();
    modelIndex.clear();
    if (runtime == nullptr) {
        vekai_vlog("Error! Could not create working directory %s\n", engineDir.c_str());
        state.store(EngineState::FAILED);
        return;
    }
    initRuntime(newModels);
    startOutputThread();
}

void InferenceEngine::startOutputThread() {
    outputThread = std::jthread([this](std::stop_token stopToken) { outputLoop(stopToken); });
}

bool InferenceEngine::canReceiveInput() const {
    const int32_t current = inFlight.load();
    vekai_vlog_verbose("Inference engine input queue size: %zu\n", static_cast<size_t>(current));
    return state.load() == EngineState::RUNNING && current < maxInFlight;
}

void InferenceEngine::updateState(ThroughputState_t& throughput, int64_t nowNs) {
    const int64_t previous = throughput.lastTimestamp;
    throughput.lastTimestamp = nowNs;
    if (previous == 0 || throughput.samples.empty()) {
        return;
    }
    const double interval = static_cast<double>(nowNs - previous) / 1000.0;
    throughput.sum += interval - throughput.samples[throughput.index];
    throughput.samples[throughput.index] = interval;
    throughput.index = (throughput.index + 1) % throughput.samples.size();
    if (throughput.index == 0) {
        throughput.full = true;
    }
}

double InferenceEngine::getFPS(const ThroughputState_t& throughput) {
    const uint64_t n = throughput.full ? throughput.samples.size() : throughput.index;
    if (n == 0) {
        return 0;
    }
    const double mean = throughput.sum / static_cast<double>(n);
    return mean > 0 ? 1000000.0 / mean : 0;
}

void InferenceEngine::logAttemptedInput(const std::string& deviceId) {
    const int64_t now = steadyNowNs();
    std::lock_guard lock(inputStatsMutex);
    auto device = perDeviceInput.try_emplace(deviceId, kDeviceThroughputWindowSize).first;
    updateState(device->second, now);
    updateState(engineInput, now);
}

bool InferenceEngine::sendInput(std::shared_ptr<InferenceInput_t> input, TensorsPtr& tensors) {
    if (state.load() != EngineState::RUNNING) {
        vekai_vlog("Warning! Inference Engine is not running. Rejecting input\n");
        return false;
    }
    if (input == nullptr || tensors == nullptr) {
        return false;
    }
    const ModelDetails_t* model =
        input->stage != nullptr && input->stage->model != nullptr ? input->stage->model.get() : nullptr;
    const std::string modelId = model != nullptr ? model->id : std::string();
    const auto index = modelIndex.find(modelId);
    if (index == modelIndex.end()) {
        vekai_vlog_verbose("Received input for model not in runtime: %s\n", modelId.c_str());
        return false;
    }
    int slot = -1;
    for (int i = 0; i < kSlotCount; ++i) {
        uint8_t expected = 0;
        if (slotState[i].compare_exchange_strong(expected, 1)) {
            slot = i;
            break;
        }
    }
    if (slot < 0) {
        vekai_vlog("Error! No available input slot.\n");
        return false;
    }
    vekai_vlog_verbose("Enqueued input for model %s with ID %d\n", model->name.c_str(), slot);
    slots[slot] = std::move(input);
    slotState[slot].store(2);
    tensors->id = slot;
    // Counted before the runtime can answer, so that the output side never sees a negative count.
    inFlight.fetch_add(1);
    if (runtime->enqueueInput(index->second, tensors.get()) != 0) {
        inFlight.fetch_sub(1);
        vekai_vlog("Warning: Failed to send input to runtime: %s\n", runtime->getError());
        slots[slot].reset();
        slotState[slot].store(0);
        return false;
    }
    (void)tensors.release();
    return true;
}

void InferenceEngine::fillRates(InferenceOutput_t& output, const std::string& deviceId) {
    const auto now = std::chrono::steady_clock::now();
    const auto last = lastThroughputReport.find(deviceId);
    if (last != lastThroughputReport.end() && now - last->second < std::chrono::seconds(1)) {
        return;
    }
    lastThroughputReport[deviceId] = now;
    {
        std::lock_guard lock(outputStatsMutex);
        output.deviceOutputFps = getFPS(perDeviceOutput.at(deviceId));
        output.engineOutputFps = getFPS(engineOutput);
    }
    {
        std::lock_guard lock(inputStatsMutex);
        const auto device = perDeviceInput.find(deviceId);
        output.deviceInputFps = device != perDeviceInput.end() ? getFPS(device->second) : 0;
        output.engineInputFps = getFPS(engineInput);
    }
    output.hasThroughput = true;
}

void InferenceEngine::outputLoop(std::stop_token stopToken) {
    while (!stopToken.stop_requested()) {
        const EngineState current = state.load();
        if (current != EngineState::RUNNING) {
            vekai_vlog("Inference Engine state is %d, breaking output loop.\n", static_cast<int>(current));
            return;
        }
        int model = -1;
        Tensors* raw = nullptr;
        const int status = runtime->retrieveOutput(&model, &raw, kOutputTimeoutMs);
        TensorsPtr tensors(raw);
        if (status == VEK_RUNTIME_TIMEOUT) {
            continue;
        }
        if (status != 0) {
            const std::string error = runtime->getError();
            vekai_vlog("Warning! Runtime gave error: %s\n", error.c_str());
            // Without this output loop no result ever comes back: refuse inputs and tell the user,
            // instead of filling every slot in silence.
            EngineState running = EngineState::RUNNING;
            if (state.compare_exchange_strong(running, EngineState::FAILED)) {
                messagingManager.addMessage(kRuntimeInitFailedMessage,
                                            "The AI runtime stopped delivering results: " + error,
                                            MESSAGE_TYPE::WARNING);
            }
            return;
        }
        if (tensors == nullptr) {
            vekai_vlog("Warning! Runtime reported an output but delivered no tensors\n");
            continue;
        }
        const int32_t id = tensors->id;
        if (id < 0 || id >= kSlotCount) {
            vekai_vlog("Error! Output tensor ID %d out of range\n", id);
            continue;
        }
        // Only a slot holding a request is released: a claimed slot is still being filled by sendInput.
        if (slotState[id].load() != 2) {
            continue;
        }
        std::shared_ptr<InferenceInput_t> request = std::move(slots[id]);
        slotState[id].store(0);
        if (request == nullptr) {
            continue;
        }
        const std::string deviceId = deviceIdOf(*request);
        {
            const int64_t now = steadyNowNs();
            std::lock_guard lock(outputStatsMutex);
            auto device = perDeviceOutput.try_emplace(deviceId, kDeviceThroughputWindowSize).first;
            updateState(device->second, now);
            updateState(engineOutput, now);
        }
        InferenceOutput_t output;
        output.input = std::move(request);
        output.tensors = std::move(tensors);
        fillRates(output, deviceId);
        if (!outputQueue.push(std::move(output))) {
            vekai_vlog("Warning! Output processing queue is full!\n");
        }
        inFlight.fetch_sub(1);
    }
}

void InferenceEngine::stopRuntime() {
    state.store(EngineState::STOPPING);
    vekai_vlog("Stopping runtime\n");
    if (outputThread.joinable()) {
        outputThread.request_stop();
        outputThread.join();
    }
    if (runtime != nullptr && runtime->cleanup() != 0) {
        vekai_vlog("Warning! Runtime cleanup failed: %s\n", runtime->getError());
    }
    for (int i = 0; i < kSlotCount; ++i) {
        slots[i].reset();
        slotState[i].store(0);
    }
    inFlight.store(0);
    for (const std::string& path : decryptedCopies) {
        std::error_code error;
        fs::remove(path, error);
    }
    decryptedCopies.clear();
}
