#include "corvane/vekai_runtime.h"

#include <dlfcn.h>

#include <atomic>
#include <filesystem>
#include <system_error>

#include "vekai_utilities/vekai_utils.h"

// Runtime libraries see the plugin's tensor sets through the interface header's own declaration.
static_assert(sizeof(Tensor) == sizeof(VekRuntimeTensor));
static_assert(offsetof(Tensor, name) == offsetof(VekRuntimeTensor, name));
static_assert(offsetof(Tensor, type) == offsetof(VekRuntimeTensor, type));
static_assert(offsetof(Tensor, rank) == offsetof(VekRuntimeTensor, rank));
static_assert(offsetof(Tensor, shape) == offsetof(VekRuntimeTensor, shape));
static_assert(offsetof(Tensor, size) == offsetof(VekRuntimeTensor, size));
static_assert(offsetof(Tensor, data) == offsetof(VekRuntimeTensor, data));
static_assert(sizeof(Tensors) == sizeof(VekRuntimeTensors));
static_assert(offsetof(Tensors, id) == offsetof(VekRuntimeTensors, id));
static_assert(offsetof(Tensors, count) == offsetof(VekRuntimeTensors, count));
static_assert(offsetof(Tensors, tensors) == offsetof(VekRuntimeTensors, tensors));

namespace fs = std::filesystem;

namespace {

std::atomic<uint64_t> loadCounter{0};

// The leak checker of address-sanitized builds can name the library of an allocation only while it
// is mapped: those builds keep runtime libraries loaded, so a runtime's own leaks stay attributable.
// Every instance loads its own copy, so a later instance still starts fresh.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool kUnloadLibraries = false;
#else
constexpr bool kUnloadLibraries = true;
#endif

template <typename Fn>
Fn resolve(void* handle, const char* name) {
    return reinterpret_cast<Fn>(dlsym(handle, name));
}

}  // namespace

VekaiRuntime::VekaiRuntime(const std::string& libraryPath) : libraryPath(libraryPath) {
    const std::string path = choosePathToLoad();
    handle = dlopen(path.c_str(), RTLD_LAZY);
    if (handle == nullptr) {
        const char* error = dlerror();
        vekai_vlog("Error! Failed to load runtime library %s: %s\n", path.c_str(),
                   error != nullptr ? error : "unknown error");
        return;
    }
    resolveSymbols();
}

VekaiRuntime::~VekaiRuntime() {
    vekai_vlog("Releasing runtime library.\n");
    if (handle != nullptr && kUnloadLibraries) {
        dlclose(handle);
    }
    if (!loadPath.empty()) {
        std::error_code error;
        fs::remove(loadPath, error);
        if (error) {
            vekai_vlog("Warning! Failed to remove runtime load link %s: %s\n", loadPath.c_str(),
                       error.message().c_str());
        }
    }
}

// Each instance loads a file of its own with its own inode. The loader recognises a library by
// inode as well as by name, so a hard link would hand back a still-resident earlier instance and
// its state; a copy always starts fresh.
std::string VekaiRuntime::choosePathToLoad() {
    const fs::path library(libraryPath);
    const fs::path directory = library.parent_path();
    std::error_code error;
    fs::create_directories(directory, error);
    if (error) {
        vekai_vlog(
            "Warning! Failed to create runtime load directory %s: %s. Loading runtime directly from %s "
            "instead.\n",
            directory.c_str(), error.message().c_str(), libraryPath.c_str());
        return libraryPath;
    }
    const uint64_t counter = loadCounter.fetch_add(1);
    const fs::path copy =
        directory / (library.stem().string() + "." + std::to_string(counter) + library.extension().string());
    // Removed first: the old file may still be mapped by a resident instance and must not be rewritten.
    fs::remove(copy, error);
    fs::copy_file(library, copy, error);
    if (error) {
        vekai_vlog("Warning! Failed to copy %s to %s: %s. Loading runtime directly from %s instead.\n",
                   libraryPath.c_str(), copy.c_str(), error.message().c_str(), libraryPath.c_str());
        std::error_code ignored;
        fs::remove(copy, ignored);
        return libraryPath;
    }
    loadPath = copy.string();
    return loadPath;
}

void VekaiRuntime::resolveSymbols() {
    initFn = resolve<InitFn>(handle, "runtime_init");
    loadModelsFn = resolve<LoadModelsFn>(handle, "runtime_load_models");
    enqueueInputFn = resolve<EnqueueInputFn>(handle, "runtime_enqueue_input");
    retrieveOutputFn = resolve<RetrieveOutputFn>(handle, "runtime_retrieve_output");
    cleanupFn = resolve<CleanupFn>(handle, "runtime_cleanup");
    getErrorFn = resolve<TextFn>(handle, "runtime_get_error");
    getVersionFn = resolve<TextFn>(handle, "runtime_get_version");
    getNameFn = resolve<TextFn>(handle, "runtime_get_name");
    getInfoFn = resolve<TextFn>(handle, "runtime_get_info");
}

bool VekaiRuntime::isLoaded() const {
    return handle != nullptr && initFn != nullptr && loadModelsFn != nullptr && enqueueInputFn != nullptr &&
           retrieveOutputFn != nullptr && cleanupFn != nullptr && getErrorFn != nullptr &&
           getVersionFn != nullptr && getNameFn != nullptr && getInfoFn != nullptr;
}

int VekaiRuntime::init(const Config& config) {
    return initFn != nullptr ? initFn(config) : kNotLoaded;
}

int VekaiRuntime::loadModels(int count, ModelConfig* models) {
    return loadModelsFn != nullptr ? loadModelsFn(count, models) : kNotLoaded;
}

int VekaiRuntime::enqueueInput(int model, Tensors* input) {
    return enqueueInputFn != nullptr ? enqueueInputFn(model, input) : kNotLoaded;
}

int VekaiRuntime::retrieveOutput(int* model, Tensors** output, int timeoutMs) {
    return retrieveOutputFn != nullptr ? retrieveOutputFn(model, output, timeoutMs) : kNotLoaded;
}

int VekaiRuntime::cleanup() {
    return cleanupFn != nullptr ? cleanupFn() : kNotLoaded;
}

const char* VekaiRuntime::getError() {
    const char* error = getErrorFn != nullptr ? getErrorFn() : nullptr;
    return error != nullptr ? error : "Runtime not initialized.";
}

const char* VekaiRuntime::getVersion() {
    return getVersionFn != nullptr ? getVersionFn() : nullptr;
}

const char* VekaiRuntime::getName() {
    return getNameFn != nullptr ? getNameFn() : nullptr;
}

const char* VekaiRuntime::getInfo() {
    return getInfoFn != nullptr ? getInfoFn() : nullptr;
}
