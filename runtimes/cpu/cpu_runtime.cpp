// The "Generic CPU" runtime library: ONNX models on ONNX Runtime, requests taken from any number of
// threads into a bounded queue that a pool of workers serves, outputs handed back in completion order.
#include <algorithm>
#include <condition_variable>
#include <deque>
#include <exception>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "last_error.h"
#include "onnx_model.h"
#include "ort_api.h"
#include "runtime_options.h"
#include "tensor_set.h"
#include "vekai_runtime_interface.h"

using vekrt::fail;

namespace {

constexpr int kFailed = 1;
constexpr int kNotInitialised = 3;
constexpr int kBadArgument = 4;
constexpr int kQueueFull = 6;
constexpr int kInternalError = 7;

struct Job {
    int model;
    VekRuntimeTensors* request;
};

struct Result {
    int model;
    VekRuntimeTensors* output;
    std::string error;  // why the inference failed; the output is then an empty set
};

struct Runtime {
    std::mutex mutex;
    std::condition_variable jobReady;
    std::condition_variable resultReady;
    std::deque<Job> jobs;
    std::deque<Result> results;
    size_t held = 0;  // requests accepted and not yet retrieved
    bool stopping = false;
    bool initialised = false;
    vekrt::RuntimeOptions options;
    vekrt::ort::EnvPtr env;
    vekrt::ort::SessionOptionsPtr sessionOptions;
    std::vector<std::unique_ptr<vekrt::OnnxModel>> models;
    std::vector<std::thread> workers;

    // A library unloaded without runtime_cleanup must not leave threads running in its unmapped code.
    ~Runtime();
};

Runtime& runtime() {
    static Runtime instance;
    return instance;
}

void serve(Runtime& r) {
    while (true) {
        Job job{};
        {
            std::unique_lock lock(r.mutex);
            r.jobReady.wait(lock, [&] { return r.stopping || !r.jobs.empty(); });
            if (r.stopping) {
                return;
            }
            job = r.jobs.front();
            r.jobs.pop_front();
        }
        Result result{job.model, nullptr, {}};
        try {
            result.output = r.models[job.model]->run(*job.request, result.error);
        } catch (const std::exception& exception) {
            result.error = exception.what();
        }
        if (result.output == nullptr) {
            // A failed inference is still answered, so that the caller can release the request.
            result.output = vekrt::allocateSet(job.request->id, 0);
        }
        vekrt::freeSet(job.request);
        {
            std::lock_guard lock(r.mutex);
            r.results.push_back(std::move(result));
        }
        r.resultReady.notify_one();
    }
}

void stopWorkers(Runtime& r) {
    {
        std::lock_guard lock(r.mutex);
        r.stopping = true;
    }
    r.jobReady.notify_all();
    for (std::thread& worker : r.workers) {
        worker.join();
    }
    r.workers.clear();
    std::lock_guard lock(r.mutex);
    for (Job& job : r.jobs) {
        vekrt::freeSet(job.request);
    }
    for (Result& result : r.results) {
        vekrt::freeSet(result.output);
    }
    r.jobs.clear();
    r.results.clear();
    r.held = 0;
}

Runtime::~Runtime() {
    stopWorkers(*this);
}

int initialise(Runtime& r, const Config& config) {
    if (r.initialised) {
        return fail(kFailed, "runtime is already initialised");
    }
    const OrtApi* api = vekrt::ort::api();
    if (api == nullptr) {
        return fail(kFailed, "ONNX Runtime does not offer API version " + std::to_string(ORT_API_VERSION));
    }
    std::string error;
    const auto options = vekrt::parseRuntimeOptions(config, std::thread::hardware_concurrency(), error);
    if (!options) {
        return fail(kBadArgument, error);
    }
    OrtEnv* env = nullptr;
    error = vekrt::ort::takeError(api->CreateEnv(ORT_LOGGING_LEVEL_ERROR, "vek_cpu_runtime", &env));
    vekrt::ort::EnvPtr envHolder(env);
    OrtSessionOptions* sessionOptions = nullptr;
    if (error.empty()) {
        error = vekrt::ort::takeError(api->CreateSessionOptions(&sessionOptions));
    }
    vekrt::ort::SessionOptionsPtr sessionOptionsHolder(sessionOptions);
    if (error.empty()) {
        error = vekrt::ort::takeError(api->SetIntraOpNumThreads(sessionOptions, options->intraOpThreads));
    }
    if (error.empty()) {
        error = vekrt::ort::takeError(api->SetInterOpNumThreads(sessionOptions, 1));
    }
    if (error.empty()) {
        error = vekrt::ort::takeError(api->SetSessionGraphOptimizationLevel(sessionOptions, ORT_ENABLE_ALL));
    }
    if (!error.empty()) {
        return fail(kFailed, "cannot set up ONNX Runtime: " + error);
    }
    r.options = *options;
    r.env = std::move(envHolder);
    r.sessionOptions = std::move(sessionOptionsHolder);
    r.stopping = false;
    for (int i = 0; i < r.options.workers; ++i) {
        r.workers.emplace_back(serve, std::ref(r));
    }
    r.initialised = true;
    return VEK_RUNTIME_OK;
}

int loadModels(Runtime& r, int count, const ModelConfig* configs) {
    if (!r.initialised) {
        return fail(kNotInitialised, "runtime is not initialised");
    }
    if (count < 0 || (count > 0 && configs == nullptr)) {
        return fail(kBadArgument, "invalid model list");
    }
    std::vector<std::unique_ptr<vekrt::OnnxModel>> loaded;
    for (int i = 0; i < count; ++i) {
        if (configs[i].path == nullptr) {
            return fail(kBadArgument, "model " + std::to_string(i) + " has no path");
        }
        std::string error;
        auto model = vekrt::OnnxModel::load(*r.env, *r.sessionOptions, configs[i].path, error);
        if (model == nullptr) {
            return fail(kFailed, std::string("cannot load model ") + configs[i].path + ": " + error);
        }
        loaded.push_back(std::move(model));
    }
    r.models = std::move(loaded);
    return VEK_RUNTIME_OK;
}

int enqueue(Runtime& r, int model, VekRuntimeTensors* input) {
    if (input == nullptr) {
        return fail(kBadArgument, "no input");
    }
    std::unique_lock lock(r.mutex);
    if (!r.initialised) {
        return fail(kNotInitialised, "runtime is not initialised");
    }
    if (model < 0 || model >= static_cast<int>(r.models.size())) {
        return fail(kBadArgument, "no model with index " + std::to_string(model));
    }
    if (r.held >= static_cast<size_t>(r.options.queueCapacity)) {
        return fail(kQueueFull,
                    "runtime queue is full (" + std::to_string(r.options.queueCapacity) + " requests)");
    }
    lock.unlock();
    const std::string problem = r.models[model]->validate(*input);
    if (!problem.empty()) {
        return fail(kBadArgument, problem);
    }
    lock.lock();
    if (r.held >= static_cast<size_t>(r.options.queueCapacity)) {
        return fail(kQueueFull,
                    "runtime queue is full (" + std::to_string(r.options.queueCapacity) + " requests)");
    }
    r.jobs.push_back({model, input});
    ++r.held;
    lock.unlock();
    r.jobReady.notify_one();
    return VEK_RUNTIME_OK;
}

int retrieve(Runtime& r, int* model, VekRuntimeTensors** output, int timeoutMs) {
    if (model == nullptr || output == nullptr) {
        return fail(kBadArgument, "null output argument");
    }
    std::unique_lock lock(r.mutex);
    if (!r.initialised) {
        return fail(kNotInitialised, "runtime is not initialised");
    }
    if (!r.resultReady.wait_for(lock, std::chrono::milliseconds(std::max(timeoutMs, 0)),
                                [&] { return !r.results.empty(); })) {
        return VEK_RUNTIME_TIMEOUT;
    }
    Result result = std::move(r.results.front());
    r.results.pop_front();
    --r.held;
    lock.unlock();
    if (!result.error.empty()) {
        fail(kFailed, "inference failed: " + result.error);
    }
    *model = result.model;
    *output = result.output;
    return VEK_RUNTIME_OK;
}

int cleanup(Runtime& r) {
    stopWorkers(r);
    r.models.clear();
    r.sessionOptions.reset();
    r.env.reset();
    r.initialised = false;
    return VEK_RUNTIME_OK;
}

// Nothing may escape into the caller, which may not be C++ at all.
template <typename Body>
int guarded(Body body) {
    try {
        return body();
    } catch (const std::exception& exception) {
        return fail(kInternalError, std::string("internal error: ") + exception.what());
    } catch (...) {
        return fail(kInternalError, "internal error");
    }
}

}  // namespace

extern "C" {

int runtime_init(Config config) {
    return guarded([&] { return initialise(runtime(), config); });
}

int runtime_load_models(int count, ModelConfig* models) {
    return guarded([&] { return loadModels(runtime(), count, models); });
}

int runtime_enqueue_input(int model, VekRuntimeTensors* input) {
    return guarded([&] { return enqueue(runtime(), model, input); });
}

int runtime_retrieve_output(int* model, VekRuntimeTensors** output, int timeout_ms) {
    return guarded([&] { return retrieve(runtime(), model, output, timeout_ms); });
}

int runtime_cleanup(void) {
    return guarded([&] { return cleanup(runtime()); });
}

const char* runtime_get_error(void) {
    return vekrt::lastError();
}

const char* runtime_get_version(void) {
    return "1.0.0 (ONNX Runtime 1.29.0)";
}

const char* runtime_get_name(void) {
    return "Generic CPU";
}

const char* runtime_get_info(void) {
    return "ONNX models (application/x-onnx) on the CPU with ONNX Runtime";
}
}
