#include "utils/bounded_json.h"

#include "vekai_utilities/vekai_utils.h"

namespace Utils {

bool jsonDepthWithin(std::string_view text, size_t maxDepth) {
    size_t depth = 0;
    bool inString = false;
    bool escaped = false;
    for (const char c : text) {
        if (inString) {
            if (escaped)
                escaped = false;
            else if (c == '\\')
                escaped = true;
            else if (c == '"')
                inString = false;
            continue;
        }
        if (c == '"') {
            inString = true;
        } else if (c == '[' || c == '{') {
            if (++depth > maxDepth)
                return false;
        } else if ((c == ']' || c == '}') && depth > 0) {
            --depth;
        }
    }
    return true;
}

rapidjson::Document& parseBoundedJson(rapidjson::Document& document, std::string_view text) {
    if (jsonDepthWithin(text))
        return document.Parse(text.data(), text.size());
    vekai_vlog("Warning! Refused a JSON text nested deeper than %zu levels.\n", kMaxJsonDepth);
    return document.Parse("", 0);
}

}  // namespace Utils
