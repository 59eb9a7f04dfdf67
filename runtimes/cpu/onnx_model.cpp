#include "onnx_model.h"

#include <limits>

#include "tensor_set.h"

namespace vekrt {

namespace {

bool describe(const OrtTypeInfo* typeInfo, TensorDescription& description, std::string& error) {
    const OrtApi* api = ort::api();
    const OrtTensorTypeAndShapeInfo* tensorInfo = nullptr;
    error = ort::takeError(api->CastTypeInfoToTensorInfo(typeInfo, &tensorInfo));
    if (!error.empty()) {
        return false;
    }
    if (tensorInfo == nullptr) {
        error = "'" + description.name + "' is not a tensor";
        return false;
    }
    ONNXTensorElementDataType type = ONNX_TENSOR_ELEMENT_DATA_TYPE_UNDEFINED;
    size_t rank = 0;
    error = ort::takeError(api->GetTensorElementType(tensorInfo, &type));
    if (error.empty()) {
        error = ort::takeError(api->GetDimensionsCount(tensorInfo, &rank));
    }
    if (error.empty()) {
        description.shape.resize(rank);
        error = ort::takeError(api->GetDimensions(tensorInfo, description.shape.data(), rank));
    }
    if (!error.empty()) {
        return false;
    }
    description.type = static_cast<int32_t>(type);
    if (elementSize(description.type) == 0) {
        error = "'" + description.name + "' has element type " + std::to_string(description.type) +
                ", which this runtime cannot pass";
        return false;
    }
    return true;
}

// Reads the name and type of input or output `index` of the session.
bool describeTensor(const OrtSession* session, size_t index, bool input, TensorDescription& description,
                    std::string& error) {
    const OrtApi* api = ort::api();
    OrtAllocator* allocator = nullptr;
    error = ort::takeError(api->GetAllocatorWithDefaultOptions(&allocator));
    if (!error.empty()) {
        return false;
    }
    char* name = nullptr;
    error = ort::takeError(input ? api->SessionGetInputName(session, index, allocator, &name)
                                 : api->SessionGetOutputName(session, index, allocator, &name));
    if (!error.empty()) {
        return false;
    }
    description.name = name;
    error = ort::takeError(api->AllocatorFree(allocator, name));
    if (!error.empty()) {
        return false;
    }
    OrtTypeInfo* rawTypeInfo = nullptr;
    error = ort::takeError(input ? api->SessionGetInputTypeInfo(session, index, &rawTypeInfo)
                                 : api->SessionGetOutputTypeInfo(session, index, &rawTypeInfo));
    const ort::TypeInfoPtr typeInfo(rawTypeInfo);
    return error.empty() && describe(typeInfo.get(), description, error);
}

// Product of the dimensions times the element size, or nothing when a dimension is not positive or
// the product overflows.
bool byteCount(const int32_t* shape, int32_t rank, size_t elementBytes, uint64_t& bytes) {
    bytes = elementBytes;
    for (int32_t i = 0; i < rank; ++i) {
        if (shape[i] <= 0 || bytes > std::numeric_limits<uint64_t>::max() / static_cast<uint64_t>(shape[i])) {
            return false;
        }
        bytes *= static_cast<uint64_t>(shape[i]);
    }
    return true;
}

// Copies an output ONNX Runtime allocated into a zeroed entry of the set; the error text, or empty.
std::string copyOutput(OrtValue* value, const TensorDescription& description, VekRuntimeTensor& entry) {
    const OrtApi* api = ort::api();
    OrtTensorTypeAndShapeInfo* rawInfo = nullptr;
    std::string error = ort::takeError(api->GetTensorTypeAndShape(value, &rawInfo));
    const ort::ShapeInfoPtr info(rawInfo);
    size_t rank = 0;
    size_t elements = 0;
    void* data = nullptr;
    if (error.empty()) {
        error = ort::takeError(api->GetDimensionsCount(info.get(), &rank));
    }
    std::vector<int64_t> shape(rank);
    if (error.empty()) {
        error = ort::takeError(api->GetDimensions(info.get(), shape.data(), rank));
    }
    if (error.empty()) {
        error = ort::takeError(api->GetTensorShapeElementCount(info.get(), &elements));
    }
    if (error.empty()) {
        error = ort::takeError(api->GetTensorMutableData(value, &data));
    }
    if (error.empty() && !fillEntry(entry, description.name, description.type, shape, data,
                                    elements * elementSize(description.type))) {
        error = "out of memory";
    }
    return error;
}

}  // namespace

std::unique_ptr<OnnxModel> OnnxModel::load(const OrtEnv& env, const OrtSessionOptions& options,
                                           const std::string& path, std::string& error) {
    const OrtApi* api = ort::api();
    std::unique_ptr<OnnxModel> model(new OnnxModel());
    OrtSession* session = nullptr;
    error = ort::takeError(api->CreateSession(&env, path.c_str(), &options, &session));
    model->session.reset(session);
    if (!error.empty()) {
        return nullptr;
    }
    OrtMemoryInfo* memoryInfo = nullptr;
    error = ort::takeError(api->CreateCpuMemoryInfo(OrtArenaAllocator, OrtMemTypeDefault, &memoryInfo));
    model->memoryInfo.reset(memoryInfo);
    if (!error.empty()) {
        return nullptr;
    }
    size_t inputCount = 0;
    size_t outputCount = 0;
    error = ort::takeError(api->SessionGetInputCount(session, &inputCount));
    if (error.empty()) {
        error = ort::takeError(api->SessionGetOutputCount(session, &outputCount));
    }
    if (!error.empty()) {
        return nullptr;
    }
    model->inputDescriptions.resize(inputCount);
    model->outputDescriptions.resize(outputCount);
    for (size_t i = 0; i < inputCount; ++i) {
        if (!describeTensor(session, i, true, model->inputDescriptions[i], error)) {
            return nullptr;
        }
    }
    for (size_t i = 0; i < outputCount; ++i) {
        if (!describeTensor(session, i, false, model->outputDescriptions[i], error)) {
            return nullptr;
        }
    }
    for (const TensorDescription& input : model->inputDescriptions) {
        model->inputNames.push_back(input.name.c_str());
    }
    for (const TensorDescription& output : model->outputDescriptions) {
        model->outputNames.push_back(output.name.c_str());
    }
    return model;
}

std::string OnnxModel::validate(const VekRuntimeTensors& request) const {
    for (const TensorDescription& input : inputDescriptions) {
        const VekRuntimeTensor* entry = findEntry(&request, input.name);
        if (entry == nullptr) {
            return "input '" + input.name + "' is missing from the request";
        }
        if (entry->type != input.type) {
            return "input '" + input.name + "' has element type " + std::to_string(entry->type) +
                   ", the model takes " + std::to_string(input.type);
        }
        if (entry->rank != static_cast<int32_t>(input.shape.size()) ||
            (entry->rank > 0 && entry->shape == nullptr)) {
            return "input '" + input.name + "' has rank " + std::to_string(entry->rank) +
                   ", the model takes " + std::to_string(input.shape.size());
        }
        for (int32_t d = 0; d < entry->rank; ++d) {
            if (input.shape[d] > 0 && entry->shape[d] != input.shape[d]) {
                return "input '" + input.name + "' has dimension " + std::to_string(d) + " of " +
                       std::to_string(entry->shape[d]) + ", the model takes " +
                       std::to_string(input.shape[d]);
            }
        }
        uint64_t bytes = 0;
        if (!byteCount(entry->shape, entry->rank, elementSize(entry->type), bytes)) {
            return "input '" + input.name + "' has an invalid shape";
        }
        if (entry->size != bytes || entry->data == nullptr) {
            return "input '" + input.name + "' carries " + std::to_string(entry->size) +
                   " bytes, its shape needs " + std::to_string(bytes);
        }
    }
    return {};
}

VekRuntimeTensors* OnnxModel::run(const VekRuntimeTensors& request, std::string& error) const {
    const OrtApi* api = ort::api();
    std::vector<ort::ValuePtr> inputValues;
    std::vector<const OrtValue*> inputs;
    for (const TensorDescription& description : inputDescriptions) {
        const VekRuntimeTensor* entry = findEntry(&request, description.name);
        const std::vector<int64_t> shape(entry->shape, entry->shape + entry->rank);
        OrtValue* value = nullptr;
        error = ort::takeError(api->CreateTensorWithDataAsOrtValue(
            memoryInfo.get(), entry->data, entry->size, shape.data(), shape.size(),
            static_cast<ONNXTensorElementDataType>(entry->type), &value));
        inputValues.emplace_back(value);
        if (!error.empty()) {
            return nullptr;
        }
        inputs.push_back(value);
    }
    VekRuntimeTensors* set = allocateSet(request.id, static_cast<int32_t>(outputDescriptions.size()));
    if (set == nullptr) {
        error = "out of memory";
        return nullptr;
    }
    // Outputs of a fixed shape are written by ONNX Runtime straight into the set; the others are copied.
    std::vector<OrtValue*> outputs(outputDescriptions.size(), nullptr);
    std::vector<ort::ValuePtr> outputValues(outputDescriptions.size());
    for (size_t i = 0; i < outputDescriptions.size() && error.empty(); ++i) {
        const TensorDescription& description = outputDescriptions[i];
        uint64_t bytes = elementSize(description.type);
        for (int64_t dim : description.shape) {
            bytes = dim > 0 ? bytes * static_cast<uint64_t>(dim) : 0;
        }
        if (bytes == 0) {
            continue;
        }
        if (!fillEntry(set->tensors[i], description.name, description.type, description.shape, nullptr,
                       bytes)) {
            error = "out of memory";
            break;
        }
        error = ort::takeError(api->CreateTensorWithDataAsOrtValue(
            memoryInfo.get(), set->tensors[i].data, bytes, description.shape.data(), description.shape.size(),
            static_cast<ONNXTensorElementDataType>(description.type), &outputs[i]));
        outputValues[i].reset(outputs[i]);
    }
    if (error.empty()) {
        error =
            ort::takeError(api->Run(session.get(), nullptr, inputNames.data(), inputs.data(), inputs.size(),
                                    outputNames.data(), outputNames.size(), outputs.data()));
    }
    for (size_t i = 0; i < outputs.size(); ++i) {
        if (outputValues[i] == nullptr) {
            outputValues[i].reset(outputs[i]);
        }
    }
    for (size_t i = 0; i < outputs.size() && error.empty(); ++i) {
        if (set->tensors[i].data == nullptr) {
            error = copyOutput(outputs[i], outputDescriptions[i], set->tensors[i]);
        }
    }
    if (!error.empty()) {
        freeSet(set);
        return nullptr;
    }
    return set;
}

}  // namespace vekrt
