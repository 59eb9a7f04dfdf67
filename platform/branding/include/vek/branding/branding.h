// Company and customization names of the product build, read from the environment
// (VEK_COMPANY_NAME, VEK_CUSTOMIZATION_NAME) with the build's defaults.
#pragma once

#include <string>

namespace vek::branding {

std::string companyName();
std::string customizationName();

}  // namespace vek::branding
