#include "ort_api.h"

namespace vekrt::ort {

const OrtApi* api() {
    static const OrtApi* instance = OrtGetApiBase()->GetApi(ORT_API_VERSION);
    return instance;
}

std::string takeError(OrtStatus* status) {
    if (status == nullptr) {
        return {};
    }
    std::string text = api()->GetErrorMessage(status);
    api()->ReleaseStatus(status);
    return text.empty() ? std::string("unspecified ONNX Runtime error") : text;
}

void releaseEnv(OrtEnv* object) {
    api()->ReleaseEnv(object);
}
void releaseSessionOptions(OrtSessionOptions* object) {
    api()->ReleaseSessionOptions(object);
}
void releaseSession(OrtSession* object) {
    api()->ReleaseSession(object);
}
void releaseValue(OrtValue* object) {
    api()->ReleaseValue(object);
}
void releaseTypeInfo(OrtTypeInfo* object) {
    api()->ReleaseTypeInfo(object);
}
void releaseShapeInfo(OrtTensorTypeAndShapeInfo* object) {
    api()->ReleaseTensorTypeAndShapeInfo(object);
}
void releaseMemoryInfo(OrtMemoryInfo* object) {
    api()->ReleaseMemoryInfo(object);
}

}  // namespace vekrt::ort
