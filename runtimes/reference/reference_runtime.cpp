// A deterministic runtime library for tests: each model file is a JSON script saying what the
// model outputs (echoes of inputs, fixed values, the runtime arguments), how late, and where it fails.
//
// Runtime arguments:
//   "fail_init": text          runtime_init fails with this error text
//   "retrieve_error_after": N  after N delivered outputs, runtime_retrieve_output fails (status 5)
// Model script members (all optional):
//   "fail_load": text          runtime_load_models fails with this error text
//   "delay_ms": N              an output becomes available N ms after its request was enqueued
//   "fail_enqueue_from": N     the N-th and later enqueues of this model (counting from 0) fail
//   "id_offset": N             outputs carry the request id plus N
//   "repeat": N                every request is answered N times (default 1)
//   "outputs": [...]           the output set, one entry per tensor:
//       {"name": s, "echo": input name}                 a copy of that input tensor, renamed
//       {"name": s, "type": code, "shape": [..], "values": [..]}   fixed numbers of that element type
//       {"name": s, "args": true}                       "key=value\n" lines of the runtime arguments (uint8)
// A file that is not such a JSON object fails runtime_load_models with the parser's complaint.
#include <rapidjson/document.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fstream>
#include <iterator>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "last_error.h"
#include "tensor_set.h"
#include "vekai_runtime_interface.h"

using vekrt::fail;

namespace {

constexpr int kFailed = 1;
constexpr int kNotInitialised = 3;
constexpr int kBadArgument = 4;
constexpr int kRetrieveFailed = 5;

using Clock = std::chrono::steady_clock;

struct OutputSpec {
    std::string name;
    std::string echo;
    bool args = false;
    int32_t type = VEK_RUNTIME_FLOAT32;
    std::vector<int64_t> shape;
    std::vector<double> values;
};

struct ModelScript {
    int delayMs = 0;
    long failEnqueueFrom = -1;
    int idOffset = 0;
    int repeat = 1;
    std::vector<OutputSpec> outputs;
    long enqueued = 0;
};

struct Pending {
    Clock::time_point due;
    int model;
    VekRuntimeTensors* output;
};

struct State {
    std::mutex mutex;
    std::condition_variable ready;
    bool initialised = false;
    std::vector<std::pair<std::string, std::string>> args;
    long retrieveErrorAfter = -1;
    long delivered = 0;
    std::vector<ModelScript> models;
    std::deque<Pending> pending;  // ordered by due time
};

State& state() {
    static State instance;
    return instance;
}

bool supportedValueType(int32_t type) {
    switch (type) {
        case VEK_RUNTIME_FLOAT32:
        case VEK_RUNTIME_UINT8:
        case VEK_RUNTIME_BOOL:
        case VEK_RUNTIME_INT8:
        case VEK_RUNTIME_INT32:
        case VEK_RUNTIME_INT64:
        case VEK_RUNTIME_DOUBLE:
            return true;
        default:
            return false;
    }
}

template <typename T>
std::vector<unsigned char> encodeAs(const std::vector<double>& values) {
    std::vector<unsigned char> bytes(values.size() * sizeof(T));
    for (size_t i = 0; i < values.size(); ++i) {
        const T value = static_cast<T>(values[i]);
        std::memcpy(bytes.data() + i * sizeof(T), &value, sizeof(T));
    }
    return bytes;
}

std::vector<unsigned char> encodeValues(int32_t type, const std::vector<double>& values) {
    switch (type) {
        case VEK_RUNTIME_FLOAT32:
            return encodeAs<float>(values);
        case VEK_RUNTIME_INT8:
            return encodeAs<int8_t>(values);
        case VEK_RUNTIME_INT32:
            return encodeAs<int32_t>(values);
        case VEK_RUNTIME_INT64:
            return encodeAs<int64_t>(values);
        case VEK_RUNTIME_DOUBLE:
            return encodeAs<double>(values);
        default:
            return encodeAs<uint8_t>(values);
    }
}

// Builds the answer to one request; null when memory runs out or an input to echo is missing.
VekRuntimeTensors* buildOutput(const ModelScript& script, const VekRuntimeTensors* input,
                               const std::vector<std::pair<std::string, std::string>>& args,
                               std::string& error) {
    VekRuntimeTensors* set =
        vekrt::allocateSet(input->id + script.idOffset, static_cast<int32_t>(script.outputs.size()));
    if (set == nullptr) {
        error = "out of memory";
        return nullptr;
    }
    for (size_t i = 0; i < script.outputs.size(); ++i) {
        const OutputSpec& spec = script.outputs[i];
        VekRuntimeTensor& entry = set->tensors[i];
        bool filled = false;
        if (!spec.echo.empty()) {
            const VekRuntimeTensor* source = vekrt::findEntry(input, spec.echo);
            if (source == nullptr) {
                error = "input '" + spec.echo + "' to echo is missing";
                vekrt::freeSet(set);
                return nullptr;
            }
            std::vector<int64_t> shape(source->shape, source->shape + (source->rank > 0 ? source->rank : 0));
            filled = vekrt::fillEntry(entry, spec.name, source->type, shape, source->data, source->size);
        } else if (spec.args) {
            std::string text;
            for (const auto& [key, value] : args) {
                text += key + "=" + value + "\n";
            }
            const int64_t shape[] = {static_cast<int64_t>(text.size())};
            filled = vekrt::fillEntry(entry, spec.name, VEK_RUNTIME_UINT8, shape, text.data(), text.size());
        } else {
            const std::vector<unsigned char> bytes = encodeValues(spec.type, spec.values);
            filled = vekrt::fillEntry(entry, spec.name, spec.type, spec.shape, bytes.data(), bytes.size());
        }
        if (!filled) {
            error = "out of memory";
            vekrt::freeSet(set);
            return nullptr;
        }
    }
    return set;
}

std::optional<OutputSpec> parseOutput(const rapidjson::Value& value, std::string& error) {
    if (!value.IsObject() || !value.HasMember("name") || !value["name"].IsString()) {
        error = "every output needs a string \"name\"";
        return std::nullopt;
    }
    OutputSpec spec;
    spec.name = value["name"].GetString();
    if (value.HasMember("echo") && value["echo"].IsString()) {
        spec.echo = value["echo"].GetString();
        return spec;
    }
    if (value.HasMember("args") && value["args"].IsBool() && value["args"].GetBool()) {
        spec.args = true;
        return spec;
    }
    if (value.HasMember("type") && value["type"].IsInt()) {
        spec.type = value["type"].GetInt();
    }
    if (!value.HasMember("shape") || !value["shape"].IsArray() || !value.HasMember("values") ||
        !value["values"].IsArray()) {
        error = "output '" + spec.name + "' needs \"echo\", \"args\" or \"shape\" and \"values\"";
        return std::nullopt;
    }
    for (const auto& dim : value["shape"].GetArray()) {
        if (!dim.IsInt()) {
            error = "output '" + spec.name + "' has a non-integer dimension";
            return std::nullopt;
        }
        spec.shape.push_back(dim.GetInt());
    }
    for (const auto& number : value["values"].GetArray()) {
        if (!number.IsNumber()) {
            error = "output '" + spec.name + "' has a non-numeric value";
            return std::nullopt;
        }
        spec.values.push_back(number.GetDouble());
    }
    if (!supportedValueType(spec.type)) {
        error = "output '" + spec.name + "' has an unsupported element type";
        return std::nullopt;
    }
    return spec;
}

int intMember(const rapidjson::Value& object, const char* name, int fallback) {
    return object.HasMember(name) && object[name].IsInt() ? object[name].GetInt() : fallback;
}

// Parses one model script; on failure returns nothing and sets `error`.
std::optional<ModelScript> loadScript(const char* path, std::string& error) {
    std::ifstream in(path != nullptr ? path : "", std::ios::binary);
    if (!in) {
        error = std::string("cannot open model file ") + (path != nullptr ? path : "(null)");
        return std::nullopt;
    }
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    rapidjson::Document document;
    document.Parse(text.c_str(), text.size());
    if (document.HasParseError() || !document.IsObject()) {
        error = std::string("model file ") + path + " is not a JSON object";
        return std::nullopt;
    }
    if (document.HasMember("fail_load") && document["fail_load"].IsString()) {
        error = document["fail_load"].GetString();
        return std::nullopt;
    }
    ModelScript script;
    script.delayMs = intMember(document, "delay_ms", 0);
    script.failEnqueueFrom = intMember(document, "fail_enqueue_from", -1);
    script.idOffset = intMember(document, "id_offset", 0);
    script.repeat = intMember(document, "repeat", 1);
    if (document.HasMember("outputs") && document["outputs"].IsArray()) {
        for (const auto& value : document["outputs"].GetArray()) {
            auto spec = parseOutput(value, error);
            if (!spec) {
                return std::nullopt;
            }
            script.outputs.push_back(std::move(*spec));
        }
    }
    return script;
}

void clearPending(State& s) {
    for (Pending& item : s.pending) {
        vekrt::freeSet(item.output);
    }
    s.pending.clear();
}

}  // namespace

extern "C" {

int runtime_init(Config config) {
    State& s = state();
    std::lock_guard lock(s.mutex);
    s.args.clear();
    s.retrieveErrorAfter = -1;
    s.delivered = 0;
    for (int32_t i = 0; i < config.count; ++i) {
        if (config.keys == nullptr || config.values == nullptr || config.keys[i] == nullptr ||
            config.values[i] == nullptr) {
            return fail(kBadArgument, "runtime argument " + std::to_string(i) + " is missing");
        }
        const std::string key = config.keys[i];
        const std::string value = config.values[i];
        if (key == "fail_init") {
            return fail(kFailed, value);
        }
        if (key == "retrieve_error_after") {
            s.retrieveErrorAfter = std::strtol(value.c_str(), nullptr, 10);
        }
        s.args.emplace_back(key, value);
    }
    s.initialised = true;
    return VEK_RUNTIME_OK;
}

int runtime_load_models(int count, ModelConfig* models) {
    State& s = state();
    std::lock_guard lock(s.mutex);
    if (!s.initialised) {
        return fail(kNotInitialised, "runtime is not initialised");
    }
    if (count < 0 || (count > 0 && models == nullptr)) {
        return fail(kBadArgument, "invalid model list");
    }
    std::vector<ModelScript> loaded;
    for (int i = 0; i < count; ++i) {
        std::string error;
        auto script = loadScript(models[i].path, error);
        if (!script) {
            return fail(kFailed, error);
        }
        loaded.push_back(std::move(*script));
    }
    s.models = std::move(loaded);
    return VEK_RUNTIME_OK;
}

int runtime_enqueue_input(int model, VekRuntimeTensors* input) {
    State& s = state();
    std::lock_guard lock(s.mutex);
    if (!s.initialised) {
        return fail(kNotInitialised, "runtime is not initialised");
    }
    if (model < 0 || model >= static_cast<int>(s.models.size()) || input == nullptr) {
        return fail(kBadArgument, "no model with index " + std::to_string(model));
    }
    ModelScript& script = s.models[model];
    const long number = script.enqueued++;
    if (script.failEnqueueFrom >= 0 && number >= script.failEnqueueFrom) {
        return fail(kFailed, "enqueue refused by script");
    }
    const Clock::time_point due = Clock::now() + std::chrono::milliseconds(script.delayMs);
    std::vector<Pending> answers;
    for (int i = 0; i < script.repeat; ++i) {
        std::string error;
        VekRuntimeTensors* output = buildOutput(script, input, s.args, error);
        if (output == nullptr) {
            for (Pending& answer : answers) {
                vekrt::freeSet(answer.output);
            }
            return fail(kFailed, error);
        }
        answers.push_back({due, model, output});
    }
    for (Pending& answer : answers) {
        auto at = s.pending.end();
        while (at != s.pending.begin() && std::prev(at)->due > due) {
            --at;
        }
        s.pending.insert(at, answer);
    }
    vekrt::freeSet(input);
    s.ready.notify_all();
    return VEK_RUNTIME_OK;
}

int runtime_retrieve_output(int* model, VekRuntimeTensors** output, int timeout_ms) {
    if (model == nullptr || output == nullptr) {
        return fail(kBadArgument, "null output argument");
    }
    State& s = state();
    std::unique_lock lock(s.mutex);
    if (s.retrieveErrorAfter >= 0 && s.delivered >= s.retrieveErrorAfter) {
        return fail(kRetrieveFailed, "retrieve failure requested by script");
    }
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    while (true) {
        const Clock::time_point now = Clock::now();
        if (!s.pending.empty() && s.pending.front().due <= now) {
            break;
        }
        if (now >= deadline) {
            return VEK_RUNTIME_TIMEOUT;
        }
        const Clock::time_point wake =
            s.pending.empty() || s.pending.front().due > deadline ? deadline : s.pending.front().due;
        s.ready.wait_until(lock, wake);
    }
    *model = s.pending.front().model;
    *output = s.pending.front().output;
    s.pending.pop_front();
    ++s.delivered;
    return VEK_RUNTIME_OK;
}

int runtime_cleanup(void) {
    State& s = state();
    std::lock_guard lock(s.mutex);
    clearPending(s);
    s.models.clear();
    s.args.clear();
    s.initialised = false;
    return VEK_RUNTIME_OK;
}

const char* runtime_get_error(void) {
    return vekrt::lastError();
}

const char* runtime_get_version(void) {
    return "1.0.0";
}

const char* runtime_get_name(void) {
    return "Reference";
}

const char* runtime_get_info(void) {
    return "Deterministic scripted runtime for tests";
}
}
