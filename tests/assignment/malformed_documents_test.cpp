// Malformed cloud documents at every level of the device list: each bad model, device or pipeline
// node is skipped alone, with the notice or log line that says why, and its neighbours are kept.
#include <gtest/gtest.h>

#include <vektest/log_capture.h>

#include <cctype>
#include <optional>
#include <string>
#include <vector>

#include "messaging_manager.h"
#include "model_assignment.h"

namespace {

using ModelAssignment::DownloadContext;
using ModelAssignment::ModelMap;

const DownloadContext kContext{"Generic CPU", "application/x-onnx", "/cache/model_files", "/cache/keys"};
constexpr const char* kModelNotice =
    "One or more models failed to parse. This indicates a problem with the metadata : ";
constexpr const char* kNodeNotice = "Could not parse pipeline details. Probably an error with metadata: ";

const std::string kDownloads =
    R"([{"RuntimeArchitecture":"application/x-onnx","Url":"https://s/m/{id}.onnx","LastModified":"2024-05-01T10:00:00","Size":10}])";
const std::string kDetails =
    R"({"width":64,"height":64,"channels":3,"vars":[1,1,1],"means":[0,0,0],"order":0})";
const std::string kInputs = R"([{"DataType":"float32","Name":"images","Shape":[1,3,64,64]}])";
const std::string kOutputs =
    R"([{"DataType":"float32","Name":"bboxes-format:xyxysc;0:person","Shape":[1,6]}])";

std::string replaced(std::string text, const std::string& from, const std::string& to) {
    for (auto at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
        text.replace(at, from.size(), to);
    return text;
}

// A valid model object whose members can be replaced one at a time; "{id}" stands for the UUID.
struct ModelText {
    std::string uuid = R"("{id}")";
    std::string updatedAt = R"("2024-05-02T00:00:00")";
    std::string name = R"("Model {id}")";
    std::string downloads = kDownloads;
    std::string details = kDetails;
    std::string inputs = kInputs;
    std::string outputs = kOutputs;

    std::string text(const std::string& id) const {
        std::string object = "{";
        const std::pair<const char*, const std::string*> members[] = {
            {"UUID", &uuid},           {"UpdatedAt", &updatedAt},        {"Name", &name},
            {"Downloads", &downloads}, {"InputDriverDetails", &details}, {"NamedInput", &inputs},
            {"NamedOutput", &outputs}};
        for (const auto& [key, value] : members) {
            if (value->empty())
                continue;
            object += (object.size() > 1 ? "," : "") + std::string("\"") + key + "\":" + *value;
        }
        return replaced(object + "}", "{id}", id);
    }
};

std::string device(const std::string& id, const std::string& vekAI) {
    return R"({"id":")" + id + R"(","parameters":{"vekAI":)" + vekAI + "}}";
}

std::string enabledDevice(const std::string& id, const std::string& models) {
    return device(id, R"({"PluginEnabled":true,"models":[)" + models + R"(],"pipelines":[]})");
}

rapidjson::Document parse(const std::string& text) {
    rapidjson::Document document;
    document.Parse(text.c_str(), text.size());
    EXPECT_FALSE(document.HasParseError()) << text;
    return document;
}

std::vector<std::string> keys(const ModelMap& models) {
    std::vector<std::string> ids;
    for (const auto& [id, model] : models)
        ids.push_back(id);
    return ids;
}

struct ModelCase {
    const char* what;
    // Turns the valid model into the malformed one.
    void (*spoil)(ModelText&);
    // The end of the notice's text; none when the model is skipped or kept without a notice.
    std::optional<std::string> notice;
    bool kept;
    // A line the log must hold.
    std::string logLine;
};

void PrintTo(const ModelCase& row, std::ostream* out) {
    *out << row.what;
}

const ModelCase kModelCases[] = {
    {"no UUID", [](ModelText& m) { m.uuid.clear(); }, "missing required string: UUID", false, ""},
    {"UUID a number", [](ModelText& m) { m.uuid = "7"; }, "missing required string: UUID", false, ""},
    {"no UpdatedAt", [](ModelText& m) { m.updatedAt.clear(); }, "missing required string: UpdatedAt", false,
     ""},
    {"UpdatedAt not a time", [](ModelText& m) { m.updatedAt = R"("yesterday")"; }, std::nullopt, false,
     "Warning: Could not parse UpdatedAt time for model bad: yesterday"},
    {"Name an object", [](ModelText& m) { m.name = "{}"; }, "missing required string: Name", false, ""},
    {"no Downloads", [](ModelText& m) { m.downloads.clear(); }, "missing required key: Downloads", false, ""},
    {"Downloads an object", [](ModelText& m) { m.downloads = "{}"; }, std::nullopt, true,
     "Warning! Could not find download for mimetype: application/x-onnx"},
    {"a download without RuntimeArchitecture",
     [](ModelText& m) { m.downloads = R"([{"Url":"https://s/x.onnx"}])"; },
     "missing required string: RuntimeArchitecture", false, ""},
    {"the matching download without Url",
     [](ModelText& m) { m.downloads = replaced(kDownloads, R"("Url":"https://s/m/{id}.onnx",)", ""); },
     "missing required string: Url", false, ""},
    {"the matching download without LastModified",
     [](ModelText& m) { m.downloads = replaced(kDownloads, R"("LastModified":"2024-05-01T10:00:00",)", ""); },
     "missing required string: LastModified", false, ""},
    {"the matching download without Size",
     [](ModelText& m) { m.downloads = replaced(kDownloads, R"(,"Size":10)", ""); },
     "missing required key: Size", false, ""},
    {"the matching download's Url without a file name",
     [](ModelText& m) { m.downloads = replaced(kDownloads, "{id}.onnx", ""); },
     "download address has no usable file name: https://s/m/", false, ""},
    {"no InputDriverDetails", [](ModelText& m) { m.details.clear(); },
     "missing required key: InputDriverDetails", false, ""},
    {"InputDriverDetails an array", [](ModelText& m) { m.details = "[]"; }, "missing required key: width",
     false, ""},
    {"no height", [](ModelText& m) { m.details = replaced(kDetails, R"("height":64,)", ""); },
     "missing required key: height", false, ""},
    {"means a number",
     [](ModelText& m) { m.details = replaced(kDetails, R"("means":[0,0,0])", R"("means":0)"); },
     "'means' must have exactly 3 values.", false, ""},
    {"vars with a text", [](ModelText& m) { m.details = replaced(kDetails, "[1,1,1]", R"([1,"1",1])"); },
     "'vars' must have exactly 3 values.", false, ""},
    {"no order", [](ModelText& m) { m.details = replaced(kDetails, R"(,"order":0)", ""); },
     "missing required key: order", false, ""},
    {"no NamedInput", [](ModelText& m) { m.inputs.clear(); }, "missing required key: NamedInput", false, ""},
    {"an input without DataType", [](ModelText& m) { m.inputs = R"([{"Name":"images","Shape":[1]}])"; },
     "missing required string: DataType", false, ""},
    {"an output without Name", [](ModelText& m) { m.outputs = R"([{"DataType":"float32","Shape":[1]}])"; },
     "missing required string: Name", false, ""},
    {"an output without Shape", [](ModelText& m) { m.outputs = R"([{"DataType":"float32","Name":"o"}])"; },
     "missing required key: Shape", false, ""},
    {"NamedOutput an object", [](ModelText& m) { m.outputs = "{}"; }, std::nullopt, true, ""},
};

class MalformedModel : public ::testing::TestWithParam<ModelCase> {};

TEST_P(MalformedModel, IsSkippedAloneWithTheRightNotice) {
    const ModelCase& row = GetParam();
    vektest::LogCapture log;
    MessagingManager messages;
    ModelText bad;
    row.spoil(bad);
    const ModelText good;
    ModelMap models;
    ModelAssignment::parseAssignedModels(
        parse("[" +
              enabledDevice("d1", good.text("before") + "," + bad.text("bad") + "," + good.text("after")) +
              "]"),
        kContext, models, messages);

    const std::vector<std::string> expected = row.kept ? std::vector<std::string>{"after", "bad", "before"}
                                                       : std::vector<std::string>{"after", "before"};
    EXPECT_EQ(keys(models), expected);
    const auto notices = messages.getMessages();
    if (row.notice) {
        ASSERT_EQ(notices.count("PARSE_MODEL_FAILED"), 1u);
        EXPECT_EQ(notices.at("PARSE_MODEL_FAILED").text, kModelNotice + *row.notice);
        EXPECT_EQ(notices.at("PARSE_MODEL_FAILED").type, MESSAGE_TYPE::WARNING);
        EXPECT_TRUE(log.contains("Warning! Skipping model due to invalid data: " + *row.notice))
            << log.text();
    } else {
        EXPECT_TRUE(notices.empty());
    }
    if (!row.logLine.empty()) {
        EXPECT_TRUE(log.contains(row.logLine)) << log.text();
    }
    for (const char* id : {"before", "after"}) {
        EXPECT_EQ(models.at(id)->downloadUrl, std::string("https://s/m/") + id + ".onnx");
        EXPECT_EQ(models.at(id)->status, 0);
    }
}

INSTANTIATE_TEST_SUITE_P(Models, MalformedModel, ::testing::ValuesIn(kModelCases),
                         [](const ::testing::TestParamInfo<ModelCase>& info) {
                             std::string name = info.param.what;
                             for (char& c : name)
                                 c = std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
                             return name;
                         });

struct DeviceCase {
    const char* what;
    std::string element;
    // A line the log must hold.
    std::string logLine;
};

// Devices whose models must not be read; the model "only" is listed by them alone.
void PrintTo(const DeviceCase& row, std::ostream* out) {
    *out << row.what;
}

const DeviceCase kDeviceCases[] = {
    {"parameters a text", R"({"id":"dx","parameters":"x"})", ""},
    {"no vekAI", R"({"id":"dx","parameters":{"other":1}})", ""},
    {"vekAI empty", device("dx", "{}"), ""},
    {"vekAI an array", device("dx", "[1]"), ""},
    {"no models", device("dx", R"({"PluginEnabled":true,"pipelines":[]})"), ""},
    {"models an object", device("dx", R"({"PluginEnabled":true,"models":{"only":1},"pipelines":[]})"), ""},
    {"PluginEnabled missing",
     device("dx", R"({"models":[)" + ModelText().text("only") + R"(],"pipelines":[]})"),
     "Device dx has plugin disabled. Ignoring assigned models."},
    {"PluginEnabled false",
     device("dx", R"({"PluginEnabled":false,"models":[)" + ModelText().text("only") + R"(],"pipelines":[]})"),
     "Device dx has plugin disabled. Ignoring assigned models."},
    {"PluginEnabled a text",
     device("dx",
            R"({"PluginEnabled":"true","models":[)" + ModelText().text("only") + R"(],"pipelines":[]})"),
     "Device dx has plugin disabled. Ignoring assigned models."},
};

class DeviceWithoutModels : public ::testing::TestWithParam<DeviceCase> {};

TEST_P(DeviceWithoutModels, ContributesNothingAndLeavesTheOthers) {
    const DeviceCase& row = GetParam();
    vektest::LogCapture log;
    MessagingManager messages;
    ModelMap models;
    ModelAssignment::parseAssignedModels(
        parse("[" + enabledDevice("d1", ModelText().text("shared")) + "," + row.element + "," +
              enabledDevice("d2", ModelText().text("shared") + "," + ModelText().text("own")) + "]"),
        kContext, models, messages);
    EXPECT_EQ(keys(models), (std::vector<std::string>{"own", "shared"}));
    EXPECT_TRUE(messages.getMessages().empty());
    if (!row.logLine.empty()) {
        EXPECT_TRUE(log.contains(row.logLine)) << log.text();
    }
}

INSTANTIATE_TEST_SUITE_P(Devices, DeviceWithoutModels, ::testing::ValuesIn(kDeviceCases),
                         [](const ::testing::TestParamInfo<DeviceCase>& info) {
                             std::string name = info.param.what;
                             for (char& c : name)
                                 c = std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
                             return name;
                         });

TEST(SharedModels, TwoDevicesListingTheSameModelShareOneRecordThatBothPipelinesRun) {
    MessagingManager messages;
    ModelMap models;
    const std::string node = R"([{"modelUUID":"shared","modelNMS":0.5,"resizingMethod":"Crop","chains":[]}])";
    ModelAssignment::parseAssignedModels(parse("[" + enabledDevice("d1", ModelText().text("shared")) + "," +
                                               enabledDevice("d2", ModelText().text("shared")) + "]"),
                                         kContext, models, messages);
    ASSERT_EQ(keys(models), std::vector<std::string>{"shared"});
    const vekai::ExternalPreprocessorTable preprocessors;
    const vekai::ExternalPostprocessorTable postprocessors;
    const auto nodes = parse(node);
    const auto first = ModelAssignment::parsePipelineNodes(&nodes, "", "d1", models, preprocessors,
                                                           postprocessors, messages);
    const auto second = ModelAssignment::parsePipelineNodes(&nodes, "", "d2", models, preprocessors,
                                                            postprocessors, messages);
    ASSERT_EQ(first.stages.size(), 1u);
    ASSERT_EQ(second.stages.size(), 1u);
    EXPECT_EQ(first.stages[0].model, second.stages[0].model) << "one record, so one download and one load";
    EXPECT_EQ(first.stages[0].model, models.at("shared"));
}

struct NodeCase {
    const char* what;
    // Replaces "{bad}" in a list of a good root node, the bad one, and a good root node whose child
    // list also holds the bad one.
    std::string node;
    // The stage ids kept, in order, children after their parent.
    std::vector<std::string> stages;
    std::optional<std::string> notice;
    std::string logLine;
};

void PrintTo(const NodeCase& row, std::ostream* out) {
    *out << row.what;
}

const NodeCase kNodeCases[] = {
    {"no modelUUID",
     R"({"modelNMS":0.5,"resizingMethod":"Crop"})",
     {"A", "B"},
     "missing required string: modelUUID",
     ""},
    {"modelUUID a number",
     R"({"modelUUID":5,"modelNMS":0.5,"resizingMethod":"Crop"})",
     {"A", "B"},
     "missing required string: modelUUID",
     ""},
    {"a model pointing to nothing",
     R"({"modelUUID":"gone","modelNMS":0.5,"resizingMethod":"Crop"})",
     {"A", "B"},
     std::nullopt,
     "Error! Pipeline points to unassigned model."},
    {"no modelNMS",
     R"({"modelUUID":"A","resizingMethod":"Crop"})",
     {"A", "B"},
     "missing required key: modelNMS",
     ""},
    {"no resizingMethod",
     R"({"modelUUID":"A","modelNMS":0.5})",
     {"A", "B"},
     "missing required string: resizingMethod",
     ""},
    {"resizingMethod a number",
     R"({"modelUUID":"A","modelNMS":0.5,"resizingMethod":1})",
     {"A", "B"},
     "missing required string: resizingMethod",
     ""},
    {"a node that is not an object", "[]", {"A", "B"}, "missing required string: modelUUID", ""},
    {"no chains",
     R"({"modelUUID":"A","modelNMS":0.5,"resizingMethod":"Crop"})",
     {"A", "A", "B", "BA"},
     std::nullopt,
     "Error! Could not parse device pipelines for d1"},
    {"chains an object",
     R"({"modelUUID":"A","modelNMS":0.5,"resizingMethod":"Crop","chains":{}})",
     {"A", "A", "B", "BA"},
     std::nullopt,
     "Error! Could not parse device pipelines for d1"},
    {"a bad child of a good node",
     R"({"modelUUID":"A","modelNMS":0.5,"resizingMethod":"Crop","chains":[{"modelUUID":"B","modelNMS":0.5}]})",
     {"A", "A", "B", "BA"},
     "missing required string: resizingMethod",
     ""},
    {"processor names that are not texts",
     R"({"modelUUID":"A","modelNMS":0.5,"resizingMethod":"Crop","Preprocessor":1,"Postprocessor":{}})",
     {"A", "A", "B", "BA"},
     std::nullopt,
     ""},
};

class MalformedNode : public ::testing::TestWithParam<NodeCase> {};

TEST_P(MalformedNode, IsSkippedAloneWithTheRightNotice) {
    const NodeCase& row = GetParam();
    vektest::LogCapture log;
    MessagingManager messages;
    ModelMap models;
    ModelAssignment::parseAssignedModels(
        parse("[" + enabledDevice("d1", ModelText().text("A") + "," + ModelText().text("B")) + "]"), kContext,
        models, messages);
    const std::string list =
        replaced(R"([{"modelUUID":"A","modelNMS":0.5,"resizingMethod":"Crop","chains":[]},{bad},)"
                 R"({"modelUUID":"B","modelNMS":0.5,"resizingMethod":"Crop","chains":[{bad}]}])",
                 "{bad}", row.node);
    const auto nodes = parse(list);
    const auto parsed = ModelAssignment::parsePipelineNodes(&nodes, "", "d1", models, {}, {}, messages);

    std::vector<std::string> stages;
    for (const auto& stage : parsed.stages) {
        stages.push_back(stage.stageId);
        for (const auto& child : stage.children)
            stages.push_back(child.stageId);
    }
    EXPECT_EQ(stages, row.stages);
    EXPECT_EQ(parsed.failed, row.notice.has_value());
    const auto notices = messages.getMessages();
    if (row.notice) {
        ASSERT_EQ(notices.count("PARSE_PIPELINE"), 1u);
        EXPECT_EQ(notices.at("PARSE_PIPELINE").text, kNodeNotice + *row.notice);
        EXPECT_EQ(notices.at("PARSE_PIPELINE").type, MESSAGE_TYPE::WARNING);
        EXPECT_TRUE(log.contains("Warning! Skipping pipeline node due to invalid data: " + *row.notice))
            << log.text();
    } else {
        EXPECT_TRUE(notices.empty());
    }
    if (!row.logLine.empty()) {
        EXPECT_TRUE(log.contains(row.logLine)) << log.text();
    }
}

TEST(SharedModels, AModelWhoseDownloadWouldOverwriteAnotherModelsFileIsSkipped) {
    MessagingManager messages;
    ModelMap models;
    ModelText first;
    first.downloads = replaced(kDownloads, "{id}.onnx", "model.onnx");
    ModelText second;
    second.downloads = replaced(replaced(kDownloads, "{id}.onnx", "model.onnx"), "/m/", "/other/");
    ModelText sameAddress = first;
    ModelAssignment::parseAssignedModels(
        parse("[" + enabledDevice("d1", first.text("one") + "," + second.text("two")) + "," +
              enabledDevice("d2", sameAddress.text("three")) + "]"),
        kContext, models, messages);
    EXPECT_EQ(keys(models), (std::vector<std::string>{"one", "three"}))
        << "the same address under another model is the same file";
    const auto notices = messages.getMessages();
    ASSERT_EQ(notices.count("PARSE_MODEL_FAILED"), 1u);
    EXPECT_EQ(
        notices.at("PARSE_MODEL_FAILED").text,
        std::string(kModelNotice) +
            "the download of model two would replace the file of model one: https://s/other/model.onnx");
}

TEST(PipelineNodes, AnEmptyChainListIsNoErrorButAMissingOneIsLogged) {
    vektest::LogCapture log;
    MessagingManager messages;
    ModelMap models;
    ModelAssignment::parseAssignedModels(parse("[" + enabledDevice("d1", ModelText().text("A")) + "]"),
                                         kContext, models, messages);
    const auto empty = parse(R"([{"modelUUID":"A","modelNMS":0.5,"resizingMethod":"Crop","chains":[]}])");
    EXPECT_EQ(ModelAssignment::parsePipelineNodes(&empty, "", "d1", models, {}, {}, messages).stages.size(),
              1u);
    EXPECT_FALSE(log.contains("Could not parse device pipelines")) << log.text();
    const auto missing = parse(R"([{"modelUUID":"A","modelNMS":0.5,"resizingMethod":"Crop"}])");
    EXPECT_EQ(ModelAssignment::parsePipelineNodes(&missing, "", "d1", models, {}, {}, messages).stages.size(),
              1u);
    EXPECT_EQ(log.count("Error! Could not parse device pipelines for d1"), 1u);
    EXPECT_TRUE(messages.getMessages().empty());
}

INSTANTIATE_TEST_SUITE_P(Nodes, MalformedNode, ::testing::ValuesIn(kNodeCases),
                         [](const ::testing::TestParamInfo<NodeCase>& info) {
                             std::string name = info.param.what;
                             for (char& c : name)
                                 c = std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
                             return name;
                         });

}  // namespace
