// Parsing JSON that comes from outside the plugin with a bound on its nesting: the parser and the
// readers that walk a document recurse once per level, so a deeply nested text would exhaust the
// thread's stack and take the host process down with it.
#pragma once

#include <rapidjson/document.h>

#include <cstddef>
#include <string_view>

namespace Utils {

// Far deeper than any document the plugin reads, far shallower than a stack allows.
inline constexpr size_t kMaxJsonDepth = 256;

// Whether arrays and objects in the text nest at most maxDepth deep; brackets inside strings do
// not count. Says nothing else about the text's validity.
bool jsonDepthWithin(std::string_view text, size_t maxDepth = kMaxJsonDepth);

// Parses the text into the document; a text nested deeper than kMaxJsonDepth is not parsed and
// leaves the document with a parse error, as an empty text would.
rapidjson::Document& parseBoundedJson(rapidjson::Document& document, std::string_view text);

}  // namespace Utils
