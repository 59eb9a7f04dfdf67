#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "messaging_manager.h"
#include "model_assignment.h"

namespace {

using ModelAssignment::DownloadContext;
using ModelAssignment::ModelMap;

const DownloadContext kContext{"Generic CPU", "application/x-onnx", "/work/cache/model_files",
                               "/work/cache/keys"};

std::string model(
    const std::string& uuid, const std::string& updatedAt, const std::string& extra = {},
    const std::string& downloads =
        R"([{"RuntimeArchitecture":"application/x-hailo8","Url":"https://s/h.hef","LastModified":"2024-01-01T00:00:00","Size":5},)"
        R"({"RuntimeArchitecture":"application/x-onnx","Url":"https://s/m/model.onnx","LastModified":"2024-05-01T10:00:00","Size":1234}])",
    const std::string& vars = "[1,1,1]") {
    return R"({"UUID":")" + uuid + R"(","UpdatedAt":")" + updatedAt + R"(","Name":"Model )" + uuid +
           R"(","Downloads":)" + downloads +
           R"(,"InputDriverDetails":{"width":640,"height":480,"channels":3,"vars":)" + vars +
           R"(,"means":[0.5,0.5,0.5],"order":1},"NamedInput":[{"DataType":"float32","Name":"images","Shape":[1,3,480,640]}],)"
           R"("NamedOutput":[{"DataType":"float","Name":"bboxes-format:xyxysc;0:person;1:traffic light","Shape":[1,100,6]}])" +
           extra + "}";
}

std::string device(const std::string& id, const std::string& models, const std::string& enabled = "true",
                   const std::string& pipelines = "[]") {
    return R"({"id":")" + id + R"(","parameters":{"vekAI":{"PluginEnabled":)" + enabled + R"(,"models":[)" +
           models + R"(],"pipelines":)" + pipelines + "}}}";
}

rapidjson::Document parse(const std::string& text) {
    rapidjson::Document document;
    document.Parse(text.c_str(), text.size());
    EXPECT_FALSE(document.HasParseError()) << text;
    return document;
}

ModelMap assign(const std::string& devices, MessagingManager& messages) {
    ModelMap models;
    ModelAssignment::parseAssignedModels(parse(devices), kContext, models, messages);
    return models;
}

TEST(AssignedModels, ReadsTheDownloadForTheInstalledRuntimeAndTheModelDescription) {
    MessagingManager messages;
    const auto models = assign("[" + device("d1", model("m1", "2024-05-02T00:00:00")) + "]", messages);
    ASSERT_EQ(models.size(), 1u);
    const ModelDetails_t& m = *models.at("m1");
    EXPECT_EQ(m.name, "Model m1");
    EXPECT_EQ(m.updatedAt, 1714608000);
    EXPECT_EQ(m.lastModified, 1714557600);
    EXPECT_EQ(m.downloadUrl, "https://s/m/model.onnx");
    EXPECT_EQ(m.downloadSize, 1234);
    EXPECT_EQ(m.sourcePath, "/work/cache/model_files/model.onnx");
    EXPECT_EQ(m.keyPath, "/work/cache/keys/m1.vekc");
    EXPECT_EQ(m.runtimePath, "/dev/shm/model.onnx");
    EXPECT_EQ(m.inputWidth, 640u);
    EXPECT_EQ(m.inputHeight, 480u);
    EXPECT_EQ(m.order, ImageOrder::Interleaved);
    EXPECT_FLOAT_EQ(m.means[0], 0.5f);
    ASSERT_EQ(m.inputs.size(), 1u);
    EXPECT_EQ(m.inputs[0].dataSize, 4u * 3 * 480 * 640);
    EXPECT_EQ(m.boxesOutputName, "bboxes-format:xyxysc;0:person;1:traffic light");
    EXPECT_EQ(m.boxesClassNames, (std::vector<std::string>{"person", "traffic light"}));
    EXPECT_FLOAT_EQ(m.rawConfidenceThreshold, 0.25f);
    EXPECT_EQ(m.status, 0);
    EXPECT_TRUE(messages.getMessages().empty());
}

TEST(AssignedModels, NewerDefinitionWinsAndDisabledDevicesContributeNothing) {
    MessagingManager messages;
    const auto models = assign("[" + device("d1", model("m1", "2024-05-01T00:00:00")) + "," +
                                   device("d2", model("m1", "2024-06-01T00:00:00", R"(,"Extra":1)")) + "," +
                                   device("d3", model("m2", "2024-06-01T00:00:00"), "false") + "," +
                                   device("d4", model("m3", "2024-06-01T00:00:00"), "\"yes\"") + "]",
                               messages);
    ASSERT_EQ(models.size(), 1u);
    EXPECT_EQ(models.at("m1")->updatedAt, 1717200000);

    const auto equalTimes =
        assign("[" + device("d1", model("m1", "2024-05-01T00:00:00")) + "," +
                   device("d2", R"({"UUID":"m1","UpdatedAt":"2024-05-01T00:00:00"})") + "]",
               messages);
    EXPECT_EQ(equalTimes.at("m1")->name, "Model m1") << "with equal times the first definition stays";
}

TEST(AssignedModels, BadModelsAreSkippedWithANoticeThatACleanPassRemoves) {
    MessagingManager messages;
    const auto models =
        assign("[" +
                   device("d1", model("bad", "2024-05-01T00:00:00", {}, R"([])", "[1,1,1,1]") + "," +
                                    model("good", "2024-05-01T00:00:00")) +
                   "]",
               messages);
    EXPECT_EQ(models.count("bad"), 0u);
    EXPECT_EQ(models.count("good"), 1u);
    const auto notices = messages.getMessages();
    ASSERT_EQ(notices.count("PARSE_MODEL_FAILED"), 1u);
    const std::string& text = notices.at("PARSE_MODEL_FAILED").text;
    EXPECT_TRUE(text.ends_with("metadata : 'vars' must have exactly 3 values.")) << text;

    assign("[" + device("d1", model("good", "2024-05-01T00:00:00")) + "]", messages);
    EXPECT_EQ(messages.getMessages().count("PARSE_MODEL_FAILED"), 0u);
}

TEST(AssignedModels, DownloadsWithoutSizeOrForAnotherRuntimeAreNeverFetched) {
    MessagingManager messages;
    const auto models = assign(
        "[" +
            device(
                "d1",
                model(
                    "zero", "2024-05-01T00:00:00", {},
                    R"([{"RuntimeArchitecture":"application/x-onnx","Url":"https://s/z.onnx","LastModified":"bad","Size":0}])") +
                    "," +
                    model(
                        "other", "2024-05-01T00:00:00", {},
                        R"([{"RuntimeArchitecture":"application/x-hailo8","Url":"https://s/h.hef","LastModified":"2024-01-01T00:00:00","Size":9}])") +
                    "," +
                    model(
                        "dots", "2024-05-01T00:00:00", {},
                        R"([{"RuntimeArchitecture":"application/x-onnx","Url":"https://s/m/..","LastModified":"2024-01-01T00:00:00","Size":9}])")) +
            "]",
        messages);
    ASSERT_EQ(models.count("zero"), 1u);
    EXPECT_FALSE(models.at("zero")->downloadSize);
    EXPECT_EQ(models.at("zero")->lastModified, 0);
    ASSERT_EQ(models.count("other"), 1u);
    EXPECT_EQ(models.at("other")->status, 4);
    EXPECT_EQ(models.at("other")->errors.get(),
              std::vector<std::string>{
                  "This model is not compatible with the selected runtime.\nRuntime: Generic CPU "
                  "has mimetype: application/x-onnx"});
    EXPECT_EQ(models.count("dots"), 0u) << "a download named '..' would escape the cache";
}

// A device list with one malformed element used to lose every model behind it.
TEST(AssignedModels, DeviceElementsWithoutAStringIdAreSkippedAndTheOthersStillCount) {
    MessagingManager messages;
    const std::string withoutId = R"({"parameters":{"vekAI":{"PluginEnabled":true,"models":[)" +
                                  model("lost", "2024-05-01T00:00:00") + "]}}}";
    const auto models =
        assign("[7," + withoutId + R"(,{"id":5},)" + device("d1", model("m1", "2024-05-01T00:00:00")) + "]",
               messages);
    EXPECT_EQ(models.size(), 1u);
    EXPECT_EQ(models.count("m1"), 1u);
    EXPECT_TRUE(messages.getMessages().empty());
}

struct Pipelines : ::testing::Test {
    MessagingManager messages;
    ModelMap models = assign(
        "[" + device("d1", model("A", "2024-05-01T00:00:00") + "," + model("B", "2024-05-01T00:00:00")) + "]",
        messages);
    vekai::ExternalPreprocessorTable preprocessors;
    vekai::ExternalPostprocessorTable postprocessors;

    ModelAssignment::PipelineParse parseNodes(const std::string& text) {
        const auto document = parse(text);
        return ModelAssignment::parsePipelineNodes(&document, "", "d1", models, preprocessors, postprocessors,
                                                   messages);
    }
};

TEST_F(Pipelines, NodesChainWithPrefixedStageIdsAndFrameNeeds) {
    vekai::ExternalPostprocessor_t withImage;
    withImage.receiveInputImage = true;
    postprocessors.emplace("Painter", std::move(withImage));
    const auto parsed = parseNodes(
        R"([{"modelUUID":"A","modelNMS":0.5,"resizingMethod":"Crop","Postprocessor":"LineCrossing","chains":[)"
        R"({"method":"FeatureExtraction","modelUUID":"B","modelNMS":1,"resizingMethod":"Stretch","chains":[]},)"
        R"({"method":"Direct","modelUUID":"B","modelNMS":"x","resizingMethod":"Other","Postprocessor":"Painter","chains":[]}]},)"
        R"({"modelUUID":"B","modelNMS":0.3,"resizingMethod":"Letterbox","chains":[]}])");
    EXPECT_FALSE(parsed.failed);
    ASSERT_EQ(parsed.stages.size(), 2u);
    const auto& root = parsed.stages[0];
    EXPECT_EQ(root.stageId, "A");
    EXPECT_EQ(root.chainMethod, 0);
    EXPECT_EQ(root.resizingMethod, vekai::ResizingMethod::Crop);
    EXPECT_EQ(root.postprocessor, "LineCrossing");
    EXPECT_EQ(root.externalPostprocessor, nullptr);
    EXPECT_TRUE(root.useVideoFrame) << "a child needs the frame";
    ASSERT_EQ(root.children.size(), 2u);
    EXPECT_EQ(root.children[0].stageId, "AB");
    EXPECT_EQ(root.children[0].chainMethod, 2);
    EXPECT_EQ(root.children[0].featureExtractionClass, "");
    EXPECT_TRUE(root.children[0].useVideoFrame);
    EXPECT_FLOAT_EQ(root.children[0].nms, 1.0f);
    EXPECT_EQ(root.children[1].externalPostprocessor, &postprocessors.at("Painter"));
    EXPECT_EQ(root.children[1].resizingMethod, vekai::ResizingMethod::Letterbox);
    EXPECT_FLOAT_EQ(root.children[1].nms, 0.0f);
    EXPECT_TRUE(root.children[1].useVideoFrame);
    EXPECT_FALSE(parsed.stages[1].useVideoFrame);
}

TEST_F(Pipelines, BadNodesAreSkippedAndTheirSiblingsKept) {
    const auto parsed = parseNodes(R"([{"modelUUID":"nope","modelNMS":0.5,"resizingMethod":"Crop"},)"
                                   R"({"modelUUID":"A","resizingMethod":"Crop"},)"
                                   R"({"modelUUID":"B","modelNMS":0.5,"resizingMethod":"Crop"}])");
    EXPECT_TRUE(parsed.failed);
    ASSERT_EQ(parsed.stages.size(), 1u);
    EXPECT_EQ(parsed.stages[0].stageId, "B");
    EXPECT_TRUE(parsed.stages[0].children.empty()) << "no chains: no children";
    const auto notices = messages.getMessages();
    ASSERT_EQ(notices.count("PARSE_PIPELINE"), 1u);
    EXPECT_EQ(
        notices.at("PARSE_PIPELINE").text,
        "Could not parse pipeline details. Probably an error with metadata: missing required key: modelNMS");
}

TEST(RawPostprocessingConfig, ThresholdsClassesAndArchitectureApplyToEveryModel) {
    const auto dir = std::filesystem::temp_directory_path() / ("vek-raw-" + std::to_string(getpid()));
    std::filesystem::create_directories(dir);
    const auto path = (dir / "raw_postprocessing.json").string();
    MessagingManager messages;
    auto models = assign("[" + device("d1", model("m1", "2024-05-01T00:00:00")) + "]", messages);
    auto bare = std::make_shared<ModelDetails_t>();
    bare->id = "m2";
    models.emplace("m2", bare);
    const auto original = models.at("m1");

    std::ofstream(path) << R"({"confidence_threshold":1,"iou_threshold":0.6,"class_names":["a",2,"b"],)"
                           R"("modelArchitecture":"yolov5"})";
    ModelAssignment::applyRawPostprocessingConfig(path, models);
    EXPECT_FLOAT_EQ(models.at("m1")->rawConfidenceThreshold, 0.0f) << "an integer literal counts as 0";
    EXPECT_FLOAT_EQ(models.at("m1")->rawIouThreshold, 0.6f);
    EXPECT_TRUE(models.at("m1")->rawPostprocessingEnabled);
    EXPECT_EQ(models.at("m1")->boxesOutputName, "output0 format:xyxysc");
    EXPECT_EQ(models.at("m1")->boxesClassNames, (std::vector<std::string>{"person", "traffic light"}));
    EXPECT_EQ(models.at("m2")->boxesClassNames, (std::vector<std::string>{"a", "b"}));
    EXPECT_NE(models.at("m1")->rawArchitecture, RawPostprocessingArchitecture::AnchorFreeYolo);
    EXPECT_FALSE(original->rawPostprocessingEnabled) << "records handed out elsewhere stay unchanged";

    std::ofstream(path) << "not json";
    auto before = models.at("m1");
    ModelAssignment::applyRawPostprocessingConfig(path, models);
    EXPECT_EQ(models.at("m1"), before);
    std::filesystem::remove_all(dir);
}

}  // namespace
