#include "corvane/vekai_postprocessor_utils.h"

#include <cerrno>
#include <cstdlib>
#include <string_view>

namespace Utils {

namespace {

constexpr std::string_view kScoresPrefix = "scores-";
constexpr std::string_view kBoxesFormatMarker = "bboxes-format";

// Reads like strtol: leading blanks and a sign, trailing characters ignored.
bool readIndex(const std::string& text, long& index) {
    const char* begin = text.c_str();
    char* end = nullptr;
    errno = 0;
    index = std::strtol(begin, &end, 10);
    return end != begin && errno == 0;
}

}  // namespace

std::vector<std::string> parseNamedOutputClasses(const std::string& outputName) {
    std::vector<std::string> names;
    std::string_view rest = outputName;
    while (!rest.empty()) {
        const size_t separator = rest.find(';');
        std::string_view token = rest.substr(0, separator);
        rest = separator == std::string_view::npos ? std::string_view{} : rest.substr(separator + 1);

        if (token.empty())
            continue;
        if (token.starts_with(kScoresPrefix))
            token.remove_prefix(kScoresPrefix.size());
        if (token.find(kBoxesFormatMarker) != std::string_view::npos)
            continue;
        const size_t colon = token.find(':');
        if (colon == std::string_view::npos)
            continue;

        long index = 0;
        if (!readIndex(std::string(token.substr(0, colon)), index) ||
            index != static_cast<long>(names.size()))
            return {};
        names.emplace_back(token.substr(colon + 1));
    }
    return names;
}

}  // namespace Utils
