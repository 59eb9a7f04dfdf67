#include <gtest/gtest.h>

#include <string>

#include "corvane/raw_postprocessors/raw_postprocessor_dispatch.h"
#include "decoder_test_support.h"

namespace {

using Arch = RawPostprocessingArchitecture;

struct NameCase {
    const char* name;
    Arch expected;
    bool recognised;
};

TEST(ArchitectureNames, NormalisedNamesMapToFamilies) {
    const NameCase cases[] = {
        {"yolo11", Arch::AnchorFreeYolo, true},
        {"YOLOv8", Arch::AnchorFreeYolo, true},
        {"yolo_v8", Arch::AnchorFreeYolo, true},
        {"YOLO-V8", Arch::AnchorFreeYolo, true},
        {"yolov9", Arch::AnchorFreeYolo, true},
        {"YOLOv10", Arch::AnchorFreeYolo, true},
        {"yolo12", Arch::AnchorFreeYolo, true},
        {"yolov5", Arch::AnchorBasedYolo, true},
        {"YOLOv6", Arch::AnchorBasedYolo, true},
        {"yolo-v7", Arch::AnchorBasedYolo, true},
        {"YOLO26", Arch::Yolo26, true},
        {"YOLO-NAS", Arch::YoloNas, true},
        {"yolo_nas", Arch::YoloNas, true},
        {"YoloNas", Arch::YoloNas, true},
        {"RT-DETR", Arch::RtDetr, true},
        {"rf_detr", Arch::RfDetr, true},
        {"SSD", Arch::Ssd, true},
        {"SSDLite", Arch::Ssd, true},
        {"MobileDet-V2", Arch::Ssd, true},
        {"mobiledetv3", Arch::Ssd, true},
        {"EfficientDet", Arch::EfficientDet, true},
        {"NanoDet", Arch::NanoDet, true},
        {"YOLO8-DeepX", Arch::Yolo8Deepx, true},
        {"", Arch::AnchorFreeYolo, true},
        {"YOLOX", Arch::AnchorFreeYolo, false},
        {"yolov8n", Arch::AnchorFreeYolo, false},
        {"ssd ", Arch::AnchorFreeYolo, false},
        {"-", Arch::AnchorFreeYolo, false},
    };
    for (const NameCase& c : cases) {
        bool recognised = !c.recognised;
        EXPECT_EQ(vekai_parse_raw_postprocessing_architecture(c.name, &recognised), c.expected) << c.name;
        EXPECT_EQ(recognised, c.recognised) << c.name;
        EXPECT_EQ(vekai_parse_raw_postprocessing_architecture(c.name), c.expected) << c.name;
    }
}

struct DispatchCase {
    int architecture;
    const char* expectedLine;
};

// An empty set makes every decoder name itself in its refusal, which shows where the dispatch went.
TEST(RawDispatch, EachArchitectureReachesItsDecoder) {
    const DispatchCase cases[] = {
        {0, "Warning! [AnchorFreeYolo] No FLOAT tensor found in input.\n"},
        {1, "Warning! [AnchorBasedYolo] No FLOAT tensor found in input.\n"},
        {2, "Warning! [YOLO26] No FLOAT tensor found in input.\n"},
        {3, "Warning! [YOLO-NAS] Could not locate required tensors (boxes=-1, scores=-1).\n"},
        {4, "[RT-DETR] Could not identify a Format A logits/boxes pair; Format B is not supported.\n"},
        {5, "Warning! [RF-DETR] Could not locate all required tensors (scores=-1, boxes=-1, labels=-1).\n"},
        {6, "Warning! [SSD] Could not locate required tensors (boxes=-1, scores=-1).\n"},
        {7, "Warning! [EfficientDet] Could not locate required tensors (boxes=-1, scores=-1, classes=-1).\n"},
        {8, "Warning! [NanoDet] No input tensors.\n"},
        {9, "Warning! [YOLOv8-DeepX] Expected exactly 6 output tensors (3 reg/cls pairs), got 0.\n"},
        {12, "Warning! [RawPostprocessor] Unknown architecture 12.\n"},
        {-1, "Warning! [RawPostprocessor] Unknown architecture -1.\n"},
    };
    for (const DispatchCase& c : cases) {
        TensorsPtr empty = makeSet({});
        LogCapture log;
        TensorsPtr decoded = decodeRawPostprocessorOutput(static_cast<Arch>(c.architecture), empty.get(),
                                                          0.25f, 0.45f, 640, 640);
        ASSERT_NE(decoded, nullptr);
        EXPECT_EQ(decoded->count, 0);
        EXPECT_EQ(decoded->id, kRequestId);
        EXPECT_NE(log.text().find(c.expectedLine), std::string::npos) << c.architecture << ": " << log.text();
    }
}

TEST(RawDispatch, PassesWidthAndHeightInOrder) {
    const std::vector<float> logits = {5.0f, 0.0f};
    const std::vector<float> boxes = {0.5f, 0.5f, 0.5f, 0.5f};
    TensorsPtr set =
        makeSet({floatTensor("pred_logits", {1, 1, 2}, logits), floatTensor("pred_boxes", {1, 1, 4}, boxes)});
    const reference::Rows rows =
        decodedRows(decodeRawPostprocessorOutput(Arch::RtDetr, set.get(), 0.5f, 0.45f, 640, 320).get());
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0][0], 160.0f);
    EXPECT_EQ(rows[0][1], 80.0f);
    EXPECT_EQ(rows[0][2], 480.0f);
    EXPECT_EQ(rows[0][3], 240.0f);
}

TEST(RawDispatch, NullSetGivesEmptyOutput) {
    for (int architecture = 0; architecture <= 9; ++architecture) {
        TensorsPtr decoded =
            decodeRawPostprocessorOutput(static_cast<Arch>(architecture), nullptr, 0.25f, 0.45f, 640, 640);
        ASSERT_NE(decoded, nullptr);
        EXPECT_EQ(decoded->count, 0);
        EXPECT_EQ(decoded->id, 0);
    }
}

}  // namespace
