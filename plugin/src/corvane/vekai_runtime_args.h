// "runtime_args.json": the name/value pairs an installation hands to the runtime library at
// initialisation, read leniently so that a bad file never stops the engine.
#pragma once

#include <string>
#include <utility>
#include <vector>

// The string members of the file's top-level object, in file order; none (logged) when the file
// is missing, empty, not JSON or not an object. Members with other values are skipped.
std::vector<std::pair<std::string, std::string>> readRuntimeArgsFile(const std::string& path);
