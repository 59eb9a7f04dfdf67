#include "corvane/vekai_external_config.h"

#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <sstream>

#include "corvane/vekai_external_process.h"
#include "utils/bounded_json.h"
#include "utils/plugin_utils.h"
#include "vekai_utilities/vekai_utils.h"

namespace vekai {

namespace {

// The texts of the two files differ only in these words.
struct Kind {
    const char* folder;
    const char* file;
    const char* plural;    // "preprocessors"
    const char* singular;  // "preprocessor"
};

constexpr Kind kPreprocessors{"preprocessors", "external_preprocessors.json", "preprocessors",
                              "preprocessor"};
constexpr Kind kPostprocessors{"postprocessors", "external_postprocessors.json", "postprocessors",
                               "postprocessor"};

const rapidjson::Value* member(const rapidjson::Value& object, const char* key) {
    const auto it = object.FindMember(key);
    return it == object.MemberEnd() ? nullptr : &it->value;
}

std::string stringMember(const rapidjson::Value& object, const char* key) {
    const rapidjson::Value* value = member(object, key);
    return value != nullptr && value->IsString() ? std::string(value->GetString(), value->GetStringLength())
                                                 : std::string();
}

bool boolMember(const rapidjson::Value& object, const char* key) {
    const rapidjson::Value* value = member(object, key);
    return value != nullptr && value->IsBool() && value->GetBool();
}

std::string compactJson(const rapidjson::Value& value) {
    rapidjson::StringBuffer buffer;
    rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
    value.Accept(writer);
    return std::string(buffer.GetString(), buffer.GetSize());
}

std::vector<ExternalDeclaration_t> declarations(const rapidjson::Value& object, const char* key) {
    std::vector<ExternalDeclaration_t> result;
    const rapidjson::Value* list = member(object, key);
    if (list == nullptr || !list->IsArray())
        return result;
    for (const rapidjson::Value& element : list->GetArray()) {
        if (element.IsObject())
            result.push_back({stringMember(element, "ID"), stringMember(element, "Name")});
    }
    return result;
}

// The file's entries, or none when it is absent or unusable (logged).
std::optional<rapidjson::Document> readConfiguration(const std::string& rootDir, const Kind& kind) {
    const std::string path = Utils::joinPaths({rootDir, kind.folder, kind.file});
    std::error_code error;
    if (!std::filesystem::exists(path, error)) {
        vekai_vlog_verbose("Notice: No external %s configuration found at %s\n", kind.plural, path.c_str());
        return std::nullopt;
    }
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        vekai_vlog("Error: Failed to open external %s configuration file: %s\n", kind.plural, path.c_str());
        return std::nullopt;
    }
    const std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    rapidjson::Document document;
    Utils::parseBoundedJson(document, text);
    if (document.HasParseError()) {
        vekai_vlog("Error: Failed to parse external %s JSON file: %s\n", kind.plural, path.c_str());
        return std::nullopt;
    }
    if (!document.IsArray()) {
        vekai_vlog("Error: External %s JSON root must be an array\n", kind.plural);
        return std::nullopt;
    }
    return document;
}

// Fills the fields both records share; false (logged) when the entry is to be skipped.
template <class Record>
bool readCommonFields(const rapidjson::Value& entry, const Kind& kind, Record& record) {
    if (!entry.IsObject()) {
        vekai_vlog("Warning: Skipping non-object entry in external %s array\n", kind.plural);
        return false;
    }
    const rapidjson::Value* name = member(entry, "Name");
    if (name == nullptr || !name->IsString()) {
        vekai_vlog("Warning: Skipping %s with missing required fields (Name)\n", kind.singular);
        return false;
    }
    record.name = stringMember(entry, "Name");
    const rapidjson::Value* port = member(entry, "Port");
    const rapidjson::Value* command = member(entry, "Command");
    if (port != nullptr && (port->IsInt64() || port->IsUint64())) {
        record.port = int32_t(uint32_t(port->IsInt64() ? uint64_t(port->GetInt64()) : port->GetUint64()));
    } else if (command != nullptr && command->IsString()) {
        record.command = stringMember(entry, "Command");
    } else {
        vekai_vlog("Warning: Skipping %s. Either 'Command' or 'Port' needs to be defined.\n", kind.singular);
        return false;
    }
    record.noResponse = boolMember(entry, "NoResponse");
    record.logFilepath = stringMember(entry, "LogFilepath");
    if (const rapidjson::Value* settings = member(entry, "UserSettings");
        settings != nullptr && settings->IsArray())
        record.userSettings = compactJson(*settings);
    if (const rapidjson::Value* timeout = member(entry, "TimeoutMs");
        timeout != nullptr && timeout->IsUint64())
        record.timeoutMs =
            timeout->GetUint64() > uint64_t(INT64_MAX) ? INT64_MAX : int64_t(timeout->GetUint64());
    return true;
}

// Starts the program (or the TCP peer); false (logged) when there is none.
template <class Record>
bool start(Record& record, const Kind& kind, const QStringList& arguments) {
    if (!record.command.empty()) {
        record.process = ExternalProcess::create(QString::fromStdString(record.command),
                                                 QString::fromStdString(record.logFilepath), arguments,
                                                 QProcessEnvironment());
    } else if (record.port > 0 && record.port <= 65535) {
        // Other values cannot name a local port.
        record.process = ExternalProcess::create(uint16_t(record.port));
    }
    if (!record.process) {
        vekai_vlog("Error: Failed to start external %s %s\n", kind.singular, record.name.c_str());
        return false;
    }
    return true;
}

template <class Record>
void insertAndStart(std::map<std::string, Record>& table, Record record) {
    const auto [it, inserted] = table.try_emplace(record.name, std::move(record));
    if (!inserted)
        return;
    Record& entry = it->second;
    if (!entry.noResponse) {
        entry.readerThread =
            std::jthread(Utils::runResponseReaderLoop, std::ref(*entry.process), std::ref(*entry.responses),
                         Utils::clampTimeoutMs(entry.timeoutMs), entry.name);
    }
}

}  // namespace

ExternalPreprocessorTable loadExternalPreprocessors(const std::string& rootDir) {
    ExternalPreprocessorTable table;
    const std::optional<rapidjson::Document> document = readConfiguration(rootDir, kPreprocessors);
    if (!document)
        return table;
    for (const rapidjson::Value& entry : document->GetArray()) {
        ExternalPreprocessor_t record;
        if (!readCommonFields(entry, kPreprocessors, record))
            continue;
        record.schedule = stringMember(entry, "Schedule") == "TENSOR" ? 1 : 0;
        const QStringList arguments{"--ProcessorName", QString::fromStdString(record.name)};
        if (!start(record, kPreprocessors, arguments))
            continue;
        const std::string name = record.name;
        const std::string command = record.command;
        insertAndStart(table, std::move(record));
        vekai_vlog_verbose("Loaded and started external preprocessor: %s (command: %s)\n", name.c_str(),
                           command.c_str());
    }
    vekai_vlog_verbose("Initialized %zu external preprocessors\n", table.size());
    return table;
}

ExternalPostprocessorTable loadExternalPostprocessors(const std::string& rootDir) {
    ExternalPostprocessorTable table;
    const std::optional<rapidjson::Document> document = readConfiguration(rootDir, kPostprocessors);
    if (!document)
        return table;
    for (const rapidjson::Value& entry : document->GetArray()) {
        ExternalPostprocessor_t record;
        if (!readCommonFields(entry, kPostprocessors, record))
            continue;
        record.schedule = stringMember(entry, "Schedule") == "TENSOR" ? 0 : 1;
        record.receiveInputImage = boolMember(entry, "ReceiveInputImage");
        record.receiveBinaryData = boolMember(entry, "ReceiveBinaryData");
        record.objects = declarations(entry, "Objects");
        record.events = declarations(entry, "Events");
        QStringList arguments;
        if (const rapidjson::Value* config = member(entry, "Config");
            config != nullptr && config->IsObject()) {
            for (const auto& option : config->GetObject()) {
                if (!option.value.IsString()) {
                    vekai_vlog("Warning! Received non-string config argument for postprocessor: %s\n",
                               record.name.c_str());
                    continue;
                }
                arguments << QString::fromUtf8("--") + QString::fromUtf8(option.name.GetString())
                          << QString::fromUtf8(option.value.GetString());
            }
        }
        arguments << "--ProcessorName" << QString::fromStdString(record.name);
        if (!start(record, kPostprocessors, arguments))
            continue;
        vekai_vlog_verbose(
            "Loaded and started external postprocessor: %s (%zu objects, %zu events, command: %s)\n",
            record.name.c_str(), record.objects.size(), record.events.size(), record.command.c_str());
        insertAndStart(table, std::move(record));
    }
    vekai_vlog_verbose("Initialized %zu external postprocessors\n", table.size());
    return table;
}

}  // namespace vekai
