// One loaded runtime library: loads its private copy of the installed library, resolves the nine
// functions of the runtime interface and forwards to them, failing cleanly when one is missing.
#pragma once

#include <cstddef>
#include <string>

#include "utils/tensor_utils.h"
#include "vekai_runtime_interface.h"

// The records cross into separately built libraries: their layout must never change.
static_assert(sizeof(Config) == 24);
static_assert(offsetof(Config, count) == 0);
static_assert(offsetof(Config, keys) == 8);
static_assert(offsetof(Config, values) == 16);
static_assert(sizeof(ModelConfig) == 48);
static_assert(offsetof(ModelConfig, path) == 0);
static_assert(offsetof(ModelConfig, reserved) == 8);

class VekaiRuntime {
public:
    // Status returned when the library or the function needed is not there.
    static constexpr int kNotLoaded = 2;

    explicit VekaiRuntime(const std::string& libraryPath);
    ~VekaiRuntime();
    VekaiRuntime(const VekaiRuntime&) = delete;
    VekaiRuntime& operator=(const VekaiRuntime&) = delete;

    // True when the library and all nine functions were found.
    bool isLoaded() const;

    int init(const Config& config);
    int loadModels(int count, ModelConfig* models);
    int enqueueInput(int model, Tensors* input);
    int retrieveOutput(int* model, Tensors** output, int timeoutMs);
    int cleanup();
    const char* getError();
    const char* getVersion();
    const char* getName();
    const char* getInfo();

    const std::string& getLibraryPath() const { return libraryPath; }
    // The private copy actually loaded; empty when the library was loaded in place.
    const std::string& getLoadPath() const { return loadPath; }

private:
    using InitFn = int (*)(Config);
    using LoadModelsFn = int (*)(int, ModelConfig*);
    using EnqueueInputFn = int (*)(int, Tensors*);
    using RetrieveOutputFn = int (*)(int*, Tensors**, int);
    using CleanupFn = int (*)();
    using TextFn = const char* (*)();

    std::string choosePathToLoad();
    void resolveSymbols();

    void* handle = nullptr;
    std::string libraryPath;
    std::string loadPath;
    InitFn initFn = nullptr;
    LoadModelsFn loadModelsFn = nullptr;
    EnqueueInputFn enqueueInputFn = nullptr;
    RetrieveOutputFn retrieveOutputFn = nullptr;
    CleanupFn cleanupFn = nullptr;
    TextFn getErrorFn = nullptr;
    TextFn getVersionFn = nullptr;
    TextFn getNameFn = nullptr;
    TextFn getInfoFn = nullptr;
};
