// "runtime_args.json" of the inference engine's directory, as read before the runtime starts.
#include <cstdlib>

#include "corvane/vekai_runtime_args.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::setUp();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const auto path = fuzz::scratch().path / "runtime_args.json";
    fuzz::writeFile(path, data, size);
    const auto args = readRuntimeArgsFile(path.string());
    if (args.size() > size)
        std::abort();
    return 0;
}
