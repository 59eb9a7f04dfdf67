#include "utils/plugin_utils.h"

#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>
#include <vek/branding/branding.h>
#include <ctime>
#include <filesystem>
#include <iomanip>
#include <locale>
#include <sstream>
#include <stdexcept>

#include "vekai_utilities/vekai_utils.h"

namespace Utils {

namespace {

constexpr const char* kBaseObjectTypeIds[] = {
    "vek.base.Vehicle",      "vek.base.Person",
    "vek.base.Face",         "vek.base.LicensePlate",
    "vek.base.Animal",       "vek.base.Unknown",
    "vek.base.Car",          "vek.base.Truck",
    "vek.base.Bus",          "vek.base.Train",
    "vek.base.Tram",         "vek.base.Bike",
    "vek.base.Special",      "vek.base.WaterTransport",
    "vek.base.AirTransport", "vek.base.Cat",
    "vek.base.Dog",          "vek.base.Fish",
    "vek.base.Snake",        "vek.base.Bird",
    "vek.base.FacialHair",   "vek.base.Hat",
    "vek.base.Scarf",        "vek.base.Gloves",
    "vek.base.Shoes",        "vek.base.Glasses",
    "vek.base.Mask",         "vek.base.Helmet",
    "vek.base.Umbrella",     "vek.base.Box",
    "vek.base.Weapon",       "vek.base.Cigarette",
    "vek.base.MobilePhone",  "vek.base.Cart",
    "vek.base.Bottle",       "vek.base.Bag",
};

bool isAsciiAlnum(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}

}  // namespace

std::string sanitizeString(const std::string& text) {
    std::string sanitised = text;
    for (size_t i = 0; i < sanitised.size(); ++i) {
        const char c = sanitised[i];
        const bool kept = isAsciiAlnum(c) || c == '_' || (i > 0 && c == '.');
        if (!kept)
            sanitised[i] = '_';
    }
    return sanitised;
}

std::string toObjectTypeID(const std::string& className) {
    const std::string sanitised = sanitizeString(className);
    const std::string candidate = "vek.base." + sanitised;
    for (const char* baseId : kBaseObjectTypeIds) {
        if (vekai_strcasecmp(candidate.c_str(), baseId) == 0)
            return baseId;
    }
    return "vek.vekai." + sanitised;
}

bool isBaseObjectTypeID(const std::string& typeId) {
    return typeId.rfind("vek.base.", 0) == 0;
}

std::string joinPaths(std::initializer_list<std::string> pieces) {
    std::filesystem::path joined;
    for (const auto& piece : pieces)
        joined /= piece;
    return joined.string();
}

ParametersDocument createEmptyParametersObject() {
    ParametersDocument result;
    result.document = std::make_unique<rapidjson::Document>(rapidjson::kObjectType);
    auto& allocator = result.document->GetAllocator();
    rapidjson::Value parameters(rapidjson::kObjectType);
    parameters.AddMember("vekAI", rapidjson::Value(rapidjson::kObjectType), allocator);
    result.document->AddMember("parameters", parameters, allocator);
    result.vekAI = &(*result.document)["parameters"]["vekAI"];
    return result;
}

int getServerCustomization() {
    const std::string name = vek::branding::customizationName();
    if (name == "kestrel")
        return 0;
    return name == "default" ? 1 : 2;
}

bool compareIDs(const std::string& a, const std::string& b) {
    const auto unbraced = [](const std::string& id) {
        if (id.size() > 1 && id.front() == '{' && id.back() == '}')
            return id.substr(1, id.size() - 2);
        return id;
    };
    return unbraced(a) == unbraced(b);
}

namespace {

// The first member of that name, as RapidJSON's FindMember finds it.
const rapidjson::Value* firstMember(const rapidjson::Value& object, const char* key) {
    if (!object.IsObject() || object.MemberCount() == 0)
        return nullptr;
    const auto found = object.FindMember(key);
    return found == object.MemberEnd() ? nullptr : &found->value;
}

}  // namespace

std::string jsonRequireString(const rapidjson::Value& object, const char* key) {
    const rapidjson::Value* value = firstMember(object, key);
    if (!value || !value->IsString())
        throw std::runtime_error(std::string("missing required string: ") + key);
    return std::string(value->GetString(), value->GetStringLength());
}

const rapidjson::Value& jsonRequireVal(const rapidjson::Value& object, const char* key) {
    const rapidjson::Value* value = firstMember(object, key);
    if (!value)
        throw std::runtime_error(std::string("missing required key: ") + key);
    return *value;
}

std::optional<int64_t> stringToTime(const std::string& text, const std::string& format) {
    std::tm parts{};
    std::istringstream input(text);
    input.imbue(std::locale::classic());
    input >> std::get_time(&parts, format.c_str());
    if (input.fail()) {
        vekai_vlog("Error! Failed to parse string to time: %s\n", text.c_str());
        return std::nullopt;
    }
    return static_cast<int64_t>(timegm(&parts));
}

std::string filenameFromUrl(const std::string& url) {
    const size_t slash = url.rfind('/');
    if (slash == std::string::npos) {
        vekai_vlog("Warning! Could not determine model filename: %s\n", url.c_str());
        return {};
    }
    return url.substr(slash + 1);
}

std::string finaliseDocument(const rapidjson::Document& document) {
    rapidjson::StringBuffer buffer;
    rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
    if (!document.Accept(writer) || !writer.IsComplete()) {
        vekai_vlog("Error creating settings model string\n");
        return "{}";
    }
    return std::string(buffer.GetString(), buffer.GetSize());
}

}  // namespace Utils
