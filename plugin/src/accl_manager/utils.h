// Shared utilities of the accelerator and runtime subsystem: addresses of the artifact store
// and documentation site, and HTML links for user notices.
#pragma once

#include <string>

namespace Utils {

inline constexpr const char* ARTIFACTORY_URL = "https://artifacts.corvane.cloud/artifactory/vekai_open";
inline constexpr const char* DOCUMENTATION_URL = "https://docs.corvane.cloud/documentation/corvane";

// An HTML anchor opening the target in a new window.
std::string htmlLink(const std::string& target, const std::string& text);

}  // namespace Utils
