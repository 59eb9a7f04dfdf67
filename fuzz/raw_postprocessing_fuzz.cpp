// "raw_postprocessing.json" of the working directory, applied to a model map as the loop does
// after every change of the device list.
#include <memory>
#include <string>

#include "fuzz_support.h"
#include "model_assignment.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::setUp();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const auto path = fuzz::scratch().path / "raw_postprocessing.json";
    fuzz::writeFile(path, data, size);
    ModelAssignment::ModelMap models;
    auto plain = std::make_shared<ModelDetails_t>();
    plain->id = "plain";
    models.emplace(plain->id, plain);
    auto named = std::make_shared<ModelDetails_t>();
    named->id = "named";
    named->boxesClassNames = {"person", "car"};
    models.emplace(named->id, named);
    ModelAssignment::applyRawPostprocessingConfig(path.string(), models);
    return 0;
}
