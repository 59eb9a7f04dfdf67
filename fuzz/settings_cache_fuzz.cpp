// The settings cache file of a device: its values laid over a three-node pipeline as a restart
// does, and written back, which must read back as the same values.
#include <cstdlib>
#include <memory>

#include "corvane/vekai_external_processors.h"
#include "device_settings.h"
#include "fuzz_support.h"
#include "setting_strings.h"

namespace {

DeviceAgentSettings_t pipeline(const vekai::ExternalPostprocessor_t& processor) {
    pipeline_stage_parameters_t root;
    root.stageId = "s1";
    root.model = std::make_shared<ModelDetails_t>();
    root.model->id = "m1";
    root.model->boxesClassNames = {"person", "car"};
    root.nms = 0.5f;
    root.externalPostprocessor = &processor;
    pipeline_stage_parameters_t child;
    child.stageId = "s1m2";
    child.chainMethod = 2;
    child.postprocessor = "Illegal Dumping";
    pipeline_stage_parameters_t grandChild;
    grandChild.stageId = "s1m2m3";
    grandChild.postprocessor = "LoiteringDetection";
    child.children.push_back(grandChild);
    root.children.push_back(child);
    DeviceAgentSettings_t settings;
    settings.stages.push_back(root);
    return settings;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::setUp();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const auto path = fuzz::scratch().path / "cam_settings_cache.txt";
    fuzz::writeFile(path, data, size);
    DeviceSettings::Values values = DeviceSettings::loadCache(path.string());

    vekai::ExternalPostprocessor_t processor;
    processor.name = "Bags";
    processor.objects = {{"bag", "Bag"}};
    DeviceAgentSettings_t settings = pipeline(processor);
    DeviceSettings::applyUserValues(settings, values);

    const auto copy = fuzz::scratch().path / "copy_settings_cache.txt";
    if (!DeviceSettings::saveCache(copy.string(), values))
        std::abort();
    values.erase(SettingStrings::DeviceActive);
    values.erase(SettingStrings::SelectedPipeline);
    if (DeviceSettings::loadCache(copy.string()) != values)
        std::abort();
    return 0;
}
