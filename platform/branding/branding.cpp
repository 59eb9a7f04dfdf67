#include <vek/branding/branding.h>

#include <cstdlib>

namespace vek::branding {

namespace {

std::string fromEnvironment(const char* variable, const char* fallback) {
    const char* value = std::getenv(variable);
    return (value && *value) ? std::string(value) : std::string(fallback);
}

}  // namespace

std::string companyName() { return fromEnvironment("VEK_COMPANY_NAME", "Vek Systems"); }

std::string customizationName() { return fromEnvironment("VEK_CUSTOMIZATION_NAME", "default"); }

}  // namespace vek::branding
