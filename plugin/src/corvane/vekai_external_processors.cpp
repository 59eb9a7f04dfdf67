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

}  // namespace vekai
