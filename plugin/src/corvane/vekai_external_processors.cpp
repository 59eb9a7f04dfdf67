#include "corvane/vekai_external_processors.h"

#include "corvane/vekai_external_process.h"

namespace vekai {

ExternalPreprocessor_t::ExternalPreprocessor_t() = default;
ExternalPreprocessor_t::~ExternalPreprocessor_t() = default;
ExternalPreprocessor_t::ExternalPreprocessor_t(ExternalPreprocessor_t&&) noexcept = default;
ExternalPreprocessor_t& ExternalPreprocessor_t::operator=(ExternalPreprocessor_t&&) noexcept = default;

ExternalPostprocessor_t::ExternalPostprocessor_t() = default;
ExternalPostprocessor_t::~ExternalPostprocessor_t() = default;
ExternalPostprocessor_t::ExternalPostprocessor_t(ExternalPostprocessor_t&&) noexcept = default;
ExternalPostprocessor_t& ExternalPostprocessor_t::operator=(ExternalPostprocessor_t&&) noexcept = default;

namespace {

template <class Table>
void requestExit(const Table& table) {
    for (const auto& [name, entry] : table) {
        if (entry.process)
            entry.process->requestGracefulExit();
    }
}

}  // namespace

void requestExternalProcessorsExit(const ExternalPreprocessorTable& table) {
    requestExit(table);
}

void requestExternalProcessorsExit(const ExternalPostprocessorTable& table) {
    requestExit(table);
}

}  // namespace vekai
