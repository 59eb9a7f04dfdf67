#include "vekcloud/site.h"

#include <rapidjson/document.h>
#include <rapidjson/error/en.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>
#include <sys/stat.h>

#include <algorithm>
#include <ctime>
#include <fstream>
#include <iterator>
#include <set>

#include "vekcloud/model_encryption.h"

namespace vekcloud {

namespace {

namespace fs = std::filesystem;
using rapidjson::Document;
using rapidjson::Value;

enum class ReadResult { ok, missing, invalid };

ReadResult readJson(const fs::path& root, const fs::path& file, Document& document, std::string& error) {
    std::error_code ignored;
    const fs::path relative = fs::relative(file, root, ignored);
    const std::string shown = (relative.empty() ? file : relative).generic_string();
    if (!fs::exists(file, ignored)) {
        error = shown + " does not exist";
        return ReadResult::missing;
    }
    std::ifstream stream(file, std::ios::binary);
    const std::string text((std::istreambuf_iterator<char>(stream)), std::istreambuf_iterator<char>());
    if (!stream && !stream.eof()) {
        error = shown + " cannot be read";
        return ReadResult::invalid;
    }
    document.Parse(text.data(), text.size());
    if (document.HasParseError()) {
        error = shown + ": " + rapidjson::GetParseError_En(document.GetParseError()) + " at offset " +
                std::to_string(document.GetErrorOffset());
        return ReadResult::invalid;
    }
    return ReadResult::ok;
}

std::string compact(const Value& value) {
    rapidjson::StringBuffer buffer;
    rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
    value.Accept(writer);
    return std::string(buffer.GetString(), buffer.GetSize());
}

std::string utcTime(time_t seconds) {
    tm parts{};
    gmtime_r(&seconds, &parts);
    char text[32];
    const size_t length = std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &parts);
    return std::string(text, length);
}

void replaceAll(std::string& text, std::string_view from, std::string_view to) {
    for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) {
        text.replace(at, from.size(), to);
    }
}

// The device's own document in `folder`, else the folder's "default.json".
fs::path documentFor(const fs::path& folder, const std::string& deviceId) {
    if (isSafeName(deviceId)) {
        fs::path own = folder / (deviceId + ".json");
        std::error_code ignored;
        if (fs::exists(own, ignored)) {
            return own;
        }
    }
    return folder / "default.json";
}

// Fills in one served document: placeholders, and model ids in "models" arrays replaced by the
// models' descriptions with their downloads.
class Expander {
public:
    Expander(const fs::path& root, const DocumentContext& context, Document::AllocatorType& allocator,
             const Site::Warn& warn)
        : root(root), context(context), allocator(allocator), warn(warn) {}

    bool expand(Value& value) {
        if (value.IsString()) {
            substitute(value);
        } else if (value.IsArray()) {
            for (auto& element : value.GetArray()) {
                if (!expand(element)) {
                    return false;
                }
            }
        } else if (value.IsObject()) {
            for (auto& member : value.GetObject()) {
                const bool isModelList =
                    member.value.IsArray() && std::string_view(member.name.GetString()) == "models";
                if (!(isModelList ? expandModels(member.value) : expand(member.value))) {
                    return false;
                }
            }
        }
        return true;
    }

    std::string error;

private:
    void substitute(Value& value) {
        std::string text(value.GetString(), value.GetStringLength());
        if (text.find('{') == std::string::npos) {
            return;
        }
        replaceAll(text, "{cloud}", context.cloudUrl);
        replaceAll(text, "{systemId}", context.systemId);
        replaceAll(text, "{deviceId}", context.deviceId);
        value.SetString(text.data(), static_cast<rapidjson::SizeType>(text.size()), allocator);
    }

    bool expandModels(Value& models) {
        for (auto& element : models.GetArray()) {
            if (element.IsString()) {
                Value model;
                if (!loadModel(element.GetString(), model)) {
                    return false;
                }
                element = model;
            } else if (!expand(element)) {
                return false;
            }
        }
        return true;
    }

    bool loadModel(const std::string& id, Value& out) {
        if (!isSafeName(id)) {
            error = "model id '" + id + "' cannot name a model folder";
            return false;
        }
        const fs::path folder = root / "models" / id;
        Document model;
        if (readJson(root, folder / "model.json", model, error) != ReadResult::ok) {
            error = "model '" + id + "': " + error;
            return false;
        }
        if (!model.IsObject()) {
            error = "models/" + id + "/model.json is not an object";
            return false;
        }
        const auto uuid = model.FindMember("UUID");
        if (uuid == model.MemberEnd()) {
            model.AddMember("UUID", Value(id.c_str(), model.GetAllocator()), model.GetAllocator());
        } else if (!uuid->value.IsString() || id != uuid->value.GetString()) {
            error = "models/" + id + "/model.json has a \"UUID\" other than its folder name";
            return false;
        }
        out.CopyFrom(model, allocator);
        return expand(out) && describeDownloads(id, folder, out);
    }

    // Each download {"File": name, ...} becomes {..., "Url", "LastModified", "Size"} for that file.
    bool describeDownloads(const std::string& id, const fs::path& folder, Value& model) {
        const auto downloads = model.FindMember("Downloads");
        if (downloads == model.MemberEnd() || !downloads->value.IsArray()) {
            return true;
        }
        time_t newest = 0;
        auto& list = downloads->value;
        for (auto element = list.Begin(); element != list.End();) {
            const auto file = element->IsObject() ? element->FindMember("File") : Value::MemberIterator();
            if (!element->IsObject() || file == element->MemberEnd() || !file->value.IsString()) {
                ++element;
                continue;
            }
            const std::string name = file->value.GetString();
            struct stat status {};
            if (!isSafeName(name) || ::stat((folder / name).c_str(), &status) != 0 ||
                !S_ISREG(status.st_mode)) {
                warn("Warning: model '" + id + "' names the file '" + name +
                     "', which is not in its folder; that download is left out");
                element = list.Erase(element);
                continue;
            }
            element->EraseMember(file);
            const std::string url = context.cloudUrl + "/models/" + id + "/" + name;
            element->AddMember("Url", Value(url.c_str(), allocator), allocator);
            element->AddMember("LastModified", Value(utcTime(status.st_mtime).c_str(), allocator), allocator);
            element->AddMember("Size", static_cast<uint64_t>(status.st_size) + kModelIvSize + kModelTagSize,
                               allocator);
            newest = std::max(newest, status.st_mtime);
            ++element;
        }
        if (newest > 0 && !model.HasMember("UpdatedAt")) {
            model.AddMember("UpdatedAt", Value(utcTime(newest).c_str(), allocator), allocator);
        }
        return true;
    }

    const fs::path& root;
    const DocumentContext& context;
    Document::AllocatorType& allocator;
    const Site::Warn& warn;
};

SiteDocument invalid(std::string text) {
    return {SiteDocument::Kind::invalid, std::move(text)};
}

}  // namespace

bool isSafeName(std::string_view name) {
    return !name.empty() && name != "." && name != ".." && std::ranges::none_of(name, [](char c) {
        return c == '/' || c == '\\' || static_cast<unsigned char>(c) < 32;
    });
}

SiteDocument Site::availablePipelines(const DocumentContext& context) const {
    Document document;
    std::string error;
    switch (readJson(root, documentFor(root / "pipelines", context.deviceId), document, error)) {
        case ReadResult::missing:
            return {SiteDocument::Kind::missing, "no pipelines for device '" + context.deviceId + "'"};
        case ReadResult::invalid:
            return invalid(error);
        case ReadResult::ok:
            break;
    }
    if (!document.IsArray()) {
        return invalid("the pipelines of device '" + context.deviceId + "' are not an array");
    }
    Expander expander(root, context, document.GetAllocator(), warn);
    if (!expander.expand(document)) {
        return invalid(expander.error);
    }
    return {SiteDocument::Kind::found, compact(document)};
}

SiteDocument Site::resetAnswer(const std::vector<std::string>& deviceIds,
                               const DocumentContext& context) const {
    Document answer(rapidjson::kObjectType);
    Value devices(rapidjson::kObjectType);
    std::set<std::string> seen;
    for (const std::string& deviceId : deviceIds) {
        if (!seen.insert(deviceId).second) {
            continue;
        }
        Document configuration;
        std::string error;
        const ReadResult read =
            readJson(root, documentFor(root / "defaults", deviceId), configuration, error);
        if (read == ReadResult::missing) {
            continue;
        }
        if (read == ReadResult::invalid) {
            return invalid(error);
        }
        if (!configuration.IsObject()) {
            return invalid("the default configuration of device '" + deviceId + "' is not an object");
        }
        DocumentContext deviceContext = context;
        deviceContext.deviceId = deviceId;
        Value value;
        value.CopyFrom(configuration, answer.GetAllocator());
        Expander expander(root, deviceContext, answer.GetAllocator(), warn);
        if (!expander.expand(value)) {
            return invalid(expander.error);
        }
        devices.AddMember(Value(deviceId.c_str(), answer.GetAllocator()), value, answer.GetAllocator());
    }
    answer.AddMember("Devices", devices, answer.GetAllocator());
    return {SiteDocument::Kind::found, compact(answer)};
}

std::optional<std::filesystem::path> Site::modelFile(const std::string& modelId,
                                                     const std::string& fileName) const {
    if (!isSafeName(modelId) || !isSafeName(fileName)) {
        return std::nullopt;
    }
    const fs::path folder = root / "models" / modelId;
    Document model;
    std::string error;
    if (readJson(root, folder / "model.json", model, error) != ReadResult::ok || !model.IsObject()) {
        return std::nullopt;
    }
    const auto downloads = model.FindMember("Downloads");
    if (downloads == model.MemberEnd() || !downloads->value.IsArray()) {
        return std::nullopt;
    }
    for (const auto& download : downloads->value.GetArray()) {
        if (download.IsObject() && download.HasMember("File") && download["File"].IsString() &&
            fileName == download["File"].GetString()) {
            std::error_code ignored;
            if (fs::is_regular_file(folder / fileName, ignored)) {
                return folder / fileName;
            }
        }
    }
    return std::nullopt;
}

}  // namespace vekcloud
