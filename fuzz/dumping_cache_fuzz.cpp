// The dumping reference boxes file: whatever it holds, what it loads must save and load back the same.
#include <cstdlib>

#include "corvane/vekai_dumping_cache.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::setUp();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const auto path = fuzz::scratch().path / "dumping_known_bboxes.json";
    fuzz::writeFile(path, data, size);
    vekai::KnownBoxes boxes;
    vekai::vekai_load_dumping_cache(path.string(), boxes);

    const auto copyDirectory = fuzz::scratch().path / "copy";
    const auto copy = copyDirectory / "dumping_known_bboxes.json";
    std::filesystem::remove(copy);
    vekai::vekai_save_dumping_cache(copyDirectory.string(), copy.string(), boxes);
    vekai::KnownBoxes reloaded;
    vekai::vekai_load_dumping_cache(copy.string(), reloaded);
    if (reloaded.size() != boxes.size())
        std::abort();
    for (const auto& [device, deviceBoxes] : boxes) {
        const auto& other = reloaded[device];
        if (other.size() != deviceBoxes.size())
            std::abort();
        for (size_t i = 0; i < deviceBoxes.size(); ++i) {
            if (other[i].x != deviceBoxes[i].x || other[i].y != deviceBoxes[i].y ||
                other[i].width != deviceBoxes[i].width || other[i].height != deviceBoxes[i].height)
                std::abort();
        }
    }
    return 0;
}
