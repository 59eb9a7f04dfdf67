// One loaded ONNX model: its session and declared inputs and outputs, the check of a request
// against them, and one inference from a request's tensor set to a new output set.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "ort_api.h"
#include "vekai_runtime_interface.h"

namespace vekrt {

struct TensorDescription {
    std::string name;
    int32_t type = 0;
    std::vector<int64_t> shape;  // -1 where the model leaves a dimension open
};

class OnnxModel {
public:
    // Null, with `error` set, when the file cannot be loaded or declares tensors this runtime cannot pass.
    static std::unique_ptr<OnnxModel> load(const OrtEnv& env, const OrtSessionOptions& options,
                                           const std::string& path, std::string& error);

    // Empty when every declared input is present in the request by name, with its element type,
    // a shape that fits the declaration and exactly the data that shape needs.
    std::string validate(const VekRuntimeTensors& request) const;

    // The outputs in declared order, with the request's id; null with `error` set on failure. The
    // request must have passed validate().
    VekRuntimeTensors* run(const VekRuntimeTensors& request, std::string& error) const;

    const std::vector<TensorDescription>& inputs() const { return inputDescriptions; }
    const std::vector<TensorDescription>& outputs() const { return outputDescriptions; }

private:
    OnnxModel() = default;

    ort::SessionPtr session;
    ort::MemoryInfoPtr memoryInfo;
    std::vector<TensorDescription> inputDescriptions;
    std::vector<TensorDescription> outputDescriptions;
    std::vector<const char*> inputNames;
    std::vector<const char*> outputNames;
};

}  // namespace vekrt
