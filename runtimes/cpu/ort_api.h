// Access to the ONNX Runtime C API of the library this runtime was built against, with owning
// handles for its objects and the conversion of its status objects into error texts.
#pragma once

#include <onnxruntime_c_api.h>

#include <memory>
#include <string>

namespace vekrt::ort {

// Null when the loaded ONNX Runtime does not offer the API version of the headers.
const OrtApi* api();

// Releases the status; empty text for success (a null status).
std::string takeError(OrtStatus* status);

template <typename T, void (*Release)(T*)>
struct Releaser {
    void operator()(T* object) const {
        if (object != nullptr) {
            Release(object);
        }
    }
};

void releaseEnv(OrtEnv* object);
void releaseSessionOptions(OrtSessionOptions* object);
void releaseSession(OrtSession* object);
void releaseValue(OrtValue* object);
void releaseTypeInfo(OrtTypeInfo* object);
void releaseShapeInfo(OrtTensorTypeAndShapeInfo* object);
void releaseMemoryInfo(OrtMemoryInfo* object);

using EnvPtr = std::unique_ptr<OrtEnv, Releaser<OrtEnv, releaseEnv>>;
using SessionOptionsPtr =
    std::unique_ptr<OrtSessionOptions, Releaser<OrtSessionOptions, releaseSessionOptions>>;
using SessionPtr = std::unique_ptr<OrtSession, Releaser<OrtSession, releaseSession>>;
using ValuePtr = std::unique_ptr<OrtValue, Releaser<OrtValue, releaseValue>>;
using TypeInfoPtr = std::unique_ptr<OrtTypeInfo, Releaser<OrtTypeInfo, releaseTypeInfo>>;
using ShapeInfoPtr =
    std::unique_ptr<OrtTensorTypeAndShapeInfo, Releaser<OrtTensorTypeAndShapeInfo, releaseShapeInfo>>;
using MemoryInfoPtr = std::unique_ptr<OrtMemoryInfo, Releaser<OrtMemoryInfo, releaseMemoryInfo>>;

}  // namespace vekrt::ort
