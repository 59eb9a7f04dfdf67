// Static helpers shared across the plugin: path joining and the JSON envelope of the
// parameters the plugin writes to the server.
#pragma once

#include <rapidjson/document.h>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <optional>
#include <string>

namespace Utils {

// Joins with file-system semantics: an absolute piece replaces everything before it.
std::string joinPaths(std::initializer_list<std::string> pieces);

// A document whose root is {"parameters":{"vekAI":{}}}; vekAI points at the inner object,
// to which callers add their members.
struct ParametersDocument {
    std::unique_ptr<rapidjson::Document> document;
    rapidjson::Value* vekAI = nullptr;
};
ParametersDocument createEmptyParametersObject();

// 0 for the "kestrel" customization, 1 for "default", 2 for any other.
int getServerCustomization();

// Class names become host object type ids: a base type of the host's taxonomy when the
// sanitised name matches one (case-insensitively), else "vek.vekai." + the sanitised name.
std::string sanitizeString(const std::string& text);
std::string toObjectTypeID(const std::string& className);
bool isBaseObjectTypeID(const std::string& typeId);

// Compares two ids, ignoring one pair of enclosing braces on each.
bool compareIDs(const std::string& a, const std::string& b);

// Accessors of required members; they raise std::runtime_error ("missing required string: " /
// "missing required key: " + key) for a missing member, a non-object or, for the string
// accessor, a first member of that name that is not a string.
std::string jsonRequireString(const rapidjson::Value& object, const char* key);
const rapidjson::Value& jsonRequireVal(const rapidjson::Value& object, const char* key);

// Seconds since the Unix epoch of a UTC time text in a strftime-style format ("%a, %d %b %Y
// %H:%M:%S GMT"), read in the classic locale; nothing when it does not parse.
std::optional<int64_t> stringToTime(const std::string& text, const std::string& format);
// The last path segment of a URL (query kept); empty when the URL ends with "/" or has none.
std::string filenameFromUrl(const std::string& url);

// Compact text of the document, members in insertion order; "{}" when it cannot be written.
std::string finaliseDocument(const rapidjson::Document& document);

}  // namespace Utils
