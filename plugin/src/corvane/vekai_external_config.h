// Reading the two configuration files that declare external pre- and postprocessor programs under
// the working directory, and starting each declared program.
#pragma once

#include <string>

#include "corvane/vekai_external_processors.h"

namespace vekai {

// rootDir/preprocessors/external_preprocessors.json; an absent or unusable file gives an empty table.
ExternalPreprocessorTable loadExternalPreprocessors(const std::string& rootDir);
// rootDir/postprocessors/external_postprocessors.json.
ExternalPostprocessorTable loadExternalPostprocessors(const std::string& rootDir);

}  // namespace vekai
