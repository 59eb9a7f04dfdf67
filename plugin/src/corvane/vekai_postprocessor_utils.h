// Class names carried in a model output's own name, as in "bboxes-format:xyxysc;0:person;1:car"
// or "scores-0:cat;1:dog".
#pragma once

#include <string>
#include <vector>

namespace Utils {

// Tokens "index:name" separated by ";"; indices must count up from 0. Empty when the name carries no
// classes, or when any index is out of order or is no number.
std::vector<std::string> parseNamedOutputClasses(const std::string& outputName);

}  // namespace Utils
