// Shared utilities of the accelerator and runtime subsystem: store and documentation addresses,
// shell commands, text and version helpers, and the machine checks every probe relies on.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace Utils {

inline constexpr const char* ARTIFACTORY_URL = "https://artifacts.corvane.cloud/artifactory/vekai_open";
inline constexpr const char* DOCUMENTATION_URL = "https://docs.corvane.cloud/documentation/corvane";

// Names a directory that stands in for "/" when the probes read system files, so that tests can
// describe a machine with fixture files. Unset in production.
inline constexpr const char* kSystemRootVariable = "VEK_TEST_SYSTEM_ROOT";

// An HTML anchor opening the target in a new window.
std::string htmlLink(const std::string& target, const std::string& text);

// Where the probes find an absolute system path such as "/proc/cpuinfo".
std::string systemPath(const std::string& absolutePath);

// Runs a command line through the shell. The status is pclose's raw wait status (exit code N is
// N * 256), or -1 when the command cannot be started; only standard output is captured.
std::pair<int, std::string> runShellCommand(const std::string& command);

// One shell word standing for the text exactly, whatever characters it holds.
std::string shellQuote(const std::string& text);

// Replaces every occurrence left to right; the search resumes after the inserted text.
void replaceAll(std::string& text, const std::string& from, const std::string& to);

// Pieces between separators; no trailing empty piece, and nothing for an empty text.
std::vector<std::string> split(const std::string& text, char separator);

// -1, 0 or 1 over dotted versions, missing pieces counting as 0. Throws std::invalid_argument or
// std::out_of_range for a piece that is not a decimal integer of 32 bits.
int compare_version(const std::string& a, const std::string& b);

bool is_avx2_supported();

// Whether the dynamic linker cache lists a library whose entry contains `name`.
bool is_library_installed(const std::string& name);

}  // namespace Utils
