// The two configuration files that declare external pre- and postprocessor programs. Entries are
// read in full, but every declared program or port is disarmed first: a fuzzer must never start
// the commands it makes up.
#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <string>

#include "corvane/vekai_external_config.h"
#include "fuzz_support.h"
#include "utils/bounded_json.h"

namespace {

// Ports outside 1..65535 and empty commands start nothing; the lookups match the reader's, which
// takes the first member of a name.
void disarm(rapidjson::Document& document) {
    if (!document.IsArray())
        return;
    for (auto& entry : document.GetArray()) {
        if (!entry.IsObject())
            continue;
        if (entry.HasMember("Port") && (entry["Port"].IsInt64() || entry["Port"].IsUint64()))
            entry["Port"].SetInt(0);
        if (entry.HasMember("Command") && entry["Command"].IsString())
            entry["Command"].SetString("");
    }
}

std::string compact(const rapidjson::Value& value) {
    rapidjson::StringBuffer buffer;
    rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
    value.Accept(writer);
    return std::string(buffer.GetString(), buffer.GetSize());
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::setUp();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string text(reinterpret_cast<const char*>(data), size);
    rapidjson::Document document;
    if (!Utils::parseBoundedJson(document, text).HasParseError()) {
        disarm(document);
        text = compact(document);
    }
    const auto root = fuzz::scratch().path;
    const auto* bytes = reinterpret_cast<const uint8_t*>(text.data());
    fuzz::writeFile(root / "preprocessors" / "external_preprocessors.json", bytes, text.size());
    fuzz::writeFile(root / "postprocessors" / "external_postprocessors.json", bytes, text.size());
    vekai::loadExternalPreprocessors(root.string());
    vekai::loadExternalPostprocessors(root.string());
    return 0;
}
