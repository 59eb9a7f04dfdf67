// The records of the external pre- and postprocessor programs declared in the working
// directory's configuration files, as pipeline stages and manifests refer to them.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "corvane/vekai_external_dispatch.h"

// Kept out of this header: its Qt headers define macros that clash with names in headers that
// include this one.
class ExternalProcess;

namespace vekai {

struct ExternalDeclaration_t {
    std::string id;
    std::string name;
};

struct ExternalPreprocessor_t {
    ExternalPreprocessor_t();
    ~ExternalPreprocessor_t();
    ExternalPreprocessor_t(ExternalPreprocessor_t&&) noexcept;
    ExternalPreprocessor_t& operator=(ExternalPreprocessor_t&&) noexcept;
    ExternalPreprocessor_t(const ExternalPreprocessor_t&) = delete;
    ExternalPreprocessor_t& operator=(const ExternalPreprocessor_t&) = delete;

    std::string name;
    std::string command;
    int32_t port = 0;
    bool noResponse = false;
    std::string userSettings;
    std::unique_ptr<ExternalProcess> process;
    int32_t schedule = 0;  // 0 image preprocessor, 1 tensor preprocessor
    std::string logFilepath;
    int64_t timeoutMs = 1000;
    // Declared after the process so that the reader stops, and waiters wake, before it goes.
    std::unique_ptr<Utils::PendingResponseRegistry> responses =
        std::make_unique<Utils::PendingResponseRegistry>();
    std::jthread readerThread;
};

struct ExternalPostprocessor_t {
    ExternalPostprocessor_t();
    ~ExternalPostprocessor_t();
    ExternalPostprocessor_t(ExternalPostprocessor_t&&) noexcept;
    ExternalPostprocessor_t& operator=(ExternalPostprocessor_t&&) noexcept;
    ExternalPostprocessor_t(const ExternalPostprocessor_t&) = delete;
    ExternalPostprocessor_t& operator=(const ExternalPostprocessor_t&) = delete;

    std::string name;
    std::string command;
    int32_t port = 0;
    bool receiveInputImage = false;
    bool noResponse = false;
    bool receiveBinaryData = false;
    std::vector<ExternalDeclaration_t> objects;
    std::vector<ExternalDeclaration_t> events;
    std::string userSettings;
    std::unique_ptr<ExternalProcess> process;
    int32_t schedule = 1;  // 0 tensor postprocessor, 1 objects postprocessor
    std::string logFilepath;
    int64_t timeoutMs = 1000;
    std::unique_ptr<Utils::PendingResponseRegistry> responses =
        std::make_unique<Utils::PendingResponseRegistry>();
    std::jthread readerThread;
};

using ExternalPreprocessorTable = std::map<std::string, ExternalPreprocessor_t>;
using ExternalPostprocessorTable = std::map<std::string, ExternalPostprocessor_t>;

// Asks every program of the table to exit; the records stay until their owner goes.
void requestExternalProcessorsExit(const ExternalPreprocessorTable& table);
void requestExternalProcessorsExit(const ExternalPostprocessorTable& table);

}  // namespace vekai
