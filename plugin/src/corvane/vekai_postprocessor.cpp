#include "corvane/vekai_postprocessor.h"

#include <chrono>
#include <climits>
#include <cmath>
#include <cstring>

#include "corvane/raw_postprocessors/raw_postprocessor_dispatch.h"
#include "corvane/vekai_box_geometry.h"
#include "corvane/vekai_masks.h"
#include "corvane/vekai_postprocessor_utils.h"
#include "vekai_utilities/vekai_utils.h"

namespace vekai {

using vek::sdk::analytics::Rect;

namespace {

constexpr const char* kBoxesFormatMarker = "format:xyxysc";
constexpr const char* kScoresPrefix = "scores-";
constexpr size_t kBoxRowValues = 6;
constexpr double kMinScore = 1e-6;
constexpr int64_t kThroughputLogIntervalNs = 1000000000;

const Tensor* findTensor(const Tensors* tensors, bool (*matches)(const Tensor&)) {
    for (const Tensor& entry : tensor_entries(tensors)) {
        if (entry.name != nullptr && matches(entry))
            return &entry;
    }
    return nullptr;
}

bool isBoxesTensor(const Tensor& entry) {
    return entry.type == TENSOR_TYPE_FLOAT32 && std::strstr(entry.name, kBoxesFormatMarker) != nullptr;
}

bool isScoresTensor(const Tensor& entry) {
    return std::strncmp(entry.name, kScoresPrefix, std::strlen(kScoresPrefix)) == 0;
}

// A request the pass can work on: it names its device and its stage, and the stage has a model.
bool requestIsComplete(const std::shared_ptr<InferenceInput_t>& request) {
    return request && request->details && request->stage != nullptr && request->stage->model;
}

int clampToInt(uint64_t value) {
    return value > static_cast<uint64_t>(INT_MAX) ? INT_MAX : static_cast<int>(value);
}

int classIndexForLog(double index) {
    return index >= static_cast<double>(INT_MAX) ? INT_MAX : static_cast<int>(index);
}

}  // namespace

PostProcessor::PostProcessor(std::string workingDirectory) : workingDirectory(std::move(workingDirectory)) {}

PostProcessor::~PostProcessor() {
    saveDumpingKnownBboxes();
}

void PostProcessor::initialize() {
    initializeExternalPostprocessors();
    loadDumpingKnownBboxes();
}

PostprocessingOutput_t PostProcessor::process(InferenceOutput_t& result) {
    VekAITimer timer("Postprocessing");
    PostprocessingOutput_t output;
    const std::shared_ptr<InferenceInput_t> request = result.input;
    if (!requestIsComplete(request)) {
        vekai_vlog("Warning! Postprocessing skipped a result without device, stage or model.\n");
        return output;
    }
    const pipeline_stage_parameters_t& stage = *request->stage;
    const ModelDetails_t& model = *stage.model;

    if (TensorsPtr replaced = handleTensorPostprocessors(result))
        result.tensors = std::move(replaced);
    timer.lap("tensor postprocessors");

    if (model.rawPostprocessingEnabled) {
        result.tensors = decodeRawPostprocessorOutput(
            model.rawArchitecture, result.tensors.get(), model.rawConfidenceThreshold, model.rawIouThreshold,
            clampToInt(model.inputWidth), clampToInt(model.inputHeight));
        timer.lap("decode raw postprocessing");
    }

    output.objects = process_objects(request, result.tensors.get());
    timer.lap("process objects");

    for (auto it = output.objects.begin(); it != output.objects.end();) {
        it->second = filter_objects_by_masks(it->second, stage.masks);
        it = it->second.empty() ? output.objects.erase(it) : std::next(it);
    }
    timer.lap("filter objects");

    const auto append = [&output](EventPtr event) {
        if (event)
            output.events.push_back(std::move(event));
    };
    append(processThroughput(result));
    timer.lap("process throughput");

    append(process_scores(request, result.tensors.get()));
    append(process_linecrossing(request, output.objects));
    append(process_object_counting(request, output.objects));
    append(process_dumping(request, output.objects));

    if (std::optional<PostprocessingOutput_t> answer =
            handleObjectsPostprocessors(request, output.objects, output.events, result.tensors.get())) {
        if (!answer->objects.empty() || !answer->events.empty() || !answer->bestShots.empty())
            output = std::move(*answer);
    }
    return output;
}

ObjectsByClass PostProcessor::process_objects(const std::shared_ptr<InferenceInput_t>& request,
                                              const Tensors* tensors) {
    VekAITimer timer("process_objects");
    if (!requestIsComplete(request))
        return {};
    const ModelDetails_t& model = *request->stage->model;

    const Tensor* boxes = findTensor(tensors, isBoxesTensor);
    if (boxes == nullptr) {
        vekai_vlog_verbose("Notice: Model has no bboxes to process.\n");
        return {};
    }
    const std::vector<std::string> classNames = boxes->name == model.boxesOutputName
                                                    ? model.boxesClassNames
                                                    : Utils::parseNamedOutputClasses(boxes->name);
    timer.lap("find index");

    if (!vekai_can_map_model_boxes(*request)) {
        vekai_vlog("Warning! Cannot map boxes of model %s to the frame: model input or frame size is zero.\n",
                   model.name.c_str());
        return {};
    }

    DetectionsByClass detections;
    const size_t rows = boxes->data == nullptr ? 0 : boxes->size / (kBoxRowValues * sizeof(float));
    const auto* values = static_cast<const float*>(boxes->data);
    for (size_t r = 0; r < rows; ++r) {
        const float* row = values + r * kBoxRowValues;
        const float x1 = row[0], y1 = row[1], x2 = row[2], y2 = row[3], score = row[4];
        // Truncation toward zero, done in double so that no float value overflows an integer.
        const double classIndex = std::trunc(static_cast<double>(row[5]));
        if (std::isnan(classIndex) || classIndex < 0)
            continue;
        if (!(static_cast<double>(score) >= kMinScore))
            continue;
        if (classIndex >= static_cast<double>(classNames.size())) {
            vekai_vlog("Warning! Got an invalid order from the model: %d\n", classIndexForLog(classIndex));
            continue;
        }
        if (!std::isfinite(x1) || !std::isfinite(y1) || !std::isfinite(x2) || !std::isfinite(y2))
            continue;
        const Rect box = vekai_convert_model_coordinates_to_rect(*request, x1, y1, x2, y2);
        detections[classNames[static_cast<size_t>(classIndex)]].push_back({box, score});
    }
    timer.lap("convert coordinates");

    ObjectsByClass reported =
        objectTracker.update(request->details->deviceId, request->timestampUs, detections, timer);
    for (const auto& [className, objects] : reported) {
        vekai_vlog_verbose("Device %s Model %s Detected %zu objects of class: %s\n",
                           request->details->deviceName.c_str(), model.name.c_str(), objects.size(),
                           className.c_str());
    }
    return reported;
}

std::vector<VekAIObjectPtr> PostProcessor::filter_objects_by_masks(const std::vector<VekAIObjectPtr>& objects,
                                                                   const std::vector<MaskSettings_t>& masks) {
    if (masks.empty())
        return objects;
    std::vector<VekAIObjectPtr> passed;
    for (const VekAIObjectPtr& object : objects) {
        if (vekai_object_passes_masks(*object, masks))
            passed.push_back(object);
    }
    return passed;
}

EventPtr PostProcessor::process_scores(const std::shared_ptr<InferenceInput_t>& request,
                                       const Tensors* tensors) {
    if (!requestIsComplete(request))
        return {};
    const ModelDetails_t& model = *request->stage->model;
    const Tensor* scores = findTensor(tensors, isScoresTensor);
    if (scores == nullptr)
        return {};

    std::vector<std::string> classNames;
    if (scores->name == model.scoresOutputName) {
        classNames = model.scoresClassNames;
    } else {
        vekai_vlog_verbose("Detected changed scores output: %s\n", scores->name);
        classNames = Utils::parseNamedOutputClasses(scores->name);
    }
    const size_t elements = scores->data == nullptr ? 0 : scores->size / sizeof(float);
    if (elements != classNames.size()) {
        vekai_vlog("Error! Tensor output size: %zu does not match expected size: %zu\n", elements,
                   classNames.size());
        return {};
    }
    if (classNames.empty())
        return {};

    const auto* values = static_cast<const float*>(scores->data);
    size_t winner = 0;
    for (size_t i = 1; i < elements; ++i) {
        if (values[i] > values[winner])
            winner = i;
    }
    return vekai_make_category_event(classNames[winner]);
}

EventPtr PostProcessor::processThroughput(const InferenceOutput_t& result) {
    if (!result.hasThroughput)
        return {};
    const int64_t now = std::chrono::duration_cast<std::chrono::nanoseconds>(
                            std::chrono::steady_clock::now().time_since_epoch())
                            .count();
    if (now - lastThroughputLog.load(std::memory_order_relaxed) >= kThroughputLogIntervalNs) {
        vekai_vlog("Engine throughput: [Output/Input] %0.2f / %0.2f \n", result.engineOutputFps,
                   result.engineInputFps);
        lastThroughputLog.store(now, std::memory_order_relaxed);
    }
    return vekai_make_throughput_event(
        {result.engineInputFps, result.deviceInputFps, result.engineOutputFps, result.deviceOutputFps});
}

EventPtr PostProcessor::process_linecrossing(const std::shared_ptr<InferenceInput_t>& request,
                                             const ObjectsByClass& objects) {
    if (!request || !request->details || request->stage == nullptr || !request->stage->crossingLine)
        return {};
    return lineCrossing.process(request->details->deviceId, request->timestampUs,
                                *request->stage->crossingLine, objects);
}

EventPtr PostProcessor::process_object_counting(const std::shared_ptr<InferenceInput_t>& request,
                                                const ObjectsByClass& objects) {
    if (!request || !request->details)
        return {};
    return objectCounter.process(request->details->deviceId, objects);
}

vek::sdk::Ptr<vek::sdk::analytics::ObjectMetadata> PostProcessor::createObjectMetadata(
    const VekAIObject_t& object) {
    vek::sdk::Ptr<vek::sdk::analytics::ObjectMetadata> metadata(new vek::sdk::analytics::ObjectMetadata());
    metadata->setTypeId(object.typeId);
    metadata->setTrackId(object.trackId);
    metadata->setBoundingBox(object.boundingBox);
    metadata->setConfidence(object.confidence);
    metadata->addAttributes(object.attributes);
    return metadata;
}

}  // namespace vekai
