// The plugin's site configuration: every key of "vek_corvane_plugin.ini" with its default and
// description, loaded once on first use through the platform's configuration reader.
#pragma once

#include <vek/kit/ini_config.h>

class Ini : public vek::kit::IniConfig {
public:
    Ini();

    bool enableOutput;
    bool logToConsole;
    bool logToFile;
    bool sendFramesOverride;
    bool restartCorvaneOnCrash;
    bool cacheRuntimeArchives;
    bool enableAmbarellaIntegration;
    bool enableNvidiaTRTIntegration;
    bool enableProfiling;
    bool alwaysShowRecoveryButtons;

    const char* CloudAPI;
    const char* DeviceAdminOverride;
    const char* RuntimesStorageURL;
    const char* CorvaneStorageURL;
    const char* WorkingDirectory;

    int logVerbosityLevel;
    int modelDownloadSeconds;
    int HTTPRequestTimeout;
    int DeviceParametersRefreshTimeout;
    int SettingsAwaitParametersTimeout;
    int MaxNumberConcurrentInputOutputThreads;
    int MaxNumberConcurrentInferences;
    int EngineThroughputWindowSize;
    int ExternalProcessorReadyCheckMaxRetries;

    // Upper bound of the pre/postprocessing worker pool, whatever the file asks for.
    static constexpr int kMaxConcurrentInputOutputThreads = 1024;
    // MaxNumberConcurrentInputOutputThreads as the worker pool must use it: capped at the bound, and
    // never negative so that it can size a semaphore.
    int concurrentInputOutputThreads() const;
};

Ini& ini();
