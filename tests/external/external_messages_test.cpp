// The documents exchanged with external processors: what the plugin writes, what it accepts, and
// how an objects answer changes the objects of a pass. Malformed input is refused, never read past.
#include <gtest/gtest.h>
#include <vek/sdk/helpers/uuid_helper.h>

#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "../ipc/ipc_test_support.h"
#include "corvane/vekai_external_objects.h"
#include "corvane/vekai_video_frame.h"
#include "utils/plugin_utils.h"
#include "vekai_utilities/external_processor_utilities.h"

namespace vekai {
namespace {

using Bytes = std::vector<uint8_t>;
using vek::sdk::UuidHelper;

Bytes toBytes(const std::optional<EncodedMessage>& message) {
    EXPECT_TRUE(message.has_value());
    if (!message)
        return {};
    return Bytes(message->bytes().begin(), message->bytes().end());
}

// Builds a document with the plugin's own writer; `body` adds the entries.
template <class Body>
Bytes document(size_t entries, Body body) {
    MessageWriter writer;
    writer.map(entries);
    body(writer);
    return toBytes(writer.finish());
}

ImagePreprocessorMessage sampleImage() {
    ImagePreprocessorMessage image;
    image.timestampUs = 1234;
    image.deviceId = "dev-1";
    image.deviceName = "Gate";
    image.width = 2;
    image.height = 1;
    image.layout = ImageOrder::Interleaved;
    const float values[6] = {0.1f, 0.2f, 0.3f, 0.4f, 0.5f, 0.6f};
    image.data.resize(sizeof values);
    std::memcpy(image.data.data(), values, sizeof values);
    return image;
}

// The image document with one ImageData entry replaced by the caller.
template <class Field>
Bytes imageWith(const char* replacedKey, Field field) {
    const ImagePreprocessorMessage image = sampleImage();
    return document(4, [&](MessageWriter& w) {
        w.requestHeader(image.timestampUs, image.deviceId, image.deviceName);
        w.text("ImageData");
        w.map(4);
        const auto entry = [&](const char* key, auto normal) {
            w.text(key);
            if (std::strcmp(key, replacedKey) == 0)
                field(w);
            else
                normal();
        };
        entry("Height", [&] { w.unsignedInteger(image.height); });
        entry("Width", [&] { w.unsignedInteger(image.width); });
        entry("Layout", [&] { w.integer(image.layout); });
        entry("Data", [&] { w.bytes(image.data); });
    });
}

TEST(ImageMessage, RoundTripKeepsEveryFieldAndSettingsAreOptional) {
    ImagePreprocessorMessage image = sampleImage();
    const Bytes plain = toBytes(writeImagePreprocessorMessage(image));
    EXPECT_EQ(plain[0], 0x84);  // four entries without settings
    image.userSettings = {{"mode", "blur"}, {"level", "3"}};
    const Bytes withSettings = toBytes(writeImagePreprocessorMessage(image));
    EXPECT_EQ(withSettings[0], 0x85);

    const auto parsed = parseImagePreprocessorMessage(withSettings);
    ASSERT_TRUE(parsed);
    EXPECT_EQ(parsed->timestampUs, 1234);
    EXPECT_EQ(parsed->deviceId, "dev-1");
    EXPECT_EQ(parsed->deviceName, "Gate");
    EXPECT_EQ(parsed->width, 2u);
    EXPECT_EQ(parsed->height, 1u);
    EXPECT_EQ(parsed->layout, ImageOrder::Interleaved);
    EXPECT_EQ(parsed->data, image.data);
    EXPECT_EQ(parsed->userSettings, image.userSettings);
}

TEST(ImageMessage, MalformedDocumentsAreRefusedWithTheWarning) {
    const Bytes valid = toBytes(writeImagePreprocessorMessage(sampleImage()));
    Bytes truncated(valid.begin(), valid.begin() + long(valid.size() / 2));
    Bytes trailing = valid;
    trailing.push_back(0xc0);
    Bytes deep{0x81, 0xa1, 'a'};
    deep.insert(deep.end(), 200, 0x91);
    deep.push_back(0x01);
    struct Case {
        const char* what;
        Bytes message;
    };
    const std::vector<Case> cases = {
        {"arrays nested 200 deep", deep},
        {"empty", {}},
        {"truncated", truncated},
        {"trailing bytes", trailing},
        {"not a map", {0x93, 0x01, 0x02, 0x03}},
        {"map announcing 2^32-1 entries", {0xdf, 0xff, 0xff, 0xff, 0xff, 0xa1, 'a', 0x01}},
        {"text longer than the message", {0x81, 0xdb, 0x7f, 0xff, 0xff, 0xff, 'T'}},
        {"never-used head byte", {0x81, 0xa1, 'a', 0xc1}},
        {"height as text", imageWith("Height", [](MessageWriter& w) { w.text("1"); })},
        {"negative width", imageWith("Width", [](MessageWriter& w) { w.integer(-2); })},
        {"layout outside the two orders", imageWith("Layout", [](MessageWriter& w) { w.integer(2); })},
        {"data as text", imageWith("Data", [](MessageWriter& w) { w.text("abc"); })},
        {"data shorter than width x height x 3 floats",
         imageWith("Data", [](MessageWriter& w) { w.bytes(Bytes(20, 0)); })},
        {"size product overflowing",
         imageWith("Width", [](MessageWriter& w) { w.unsignedInteger(uint64_t(1) << 62); })},
        {"missing ImageData", document(3, [](MessageWriter& w) { w.requestHeader(1, "d", "n"); })},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ipc_test::LogCapture log;
        EXPECT_FALSE(parseImagePreprocessorMessage(c.message));
        EXPECT_TRUE(log.contains("Error! Invalid image message received. Ignoring.\n"));
    }
}

TensorsPtr twoTensors() {
    TensorsPtr set = allocate_tensors(7, 2);
    const float scores[3] = {0.5f, 1.5f, -2.0f};
    const int32_t scoreShape[2] = {1, 3};
    fill_tensor(set->tensors[0], "scores", TENSOR_TYPE_FLOAT32, scoreShape, scores, sizeof scores);
    const uint8_t mask[4] = {1, 2, 3, 4};
    const int32_t maskShape[3] = {1, 2, 2};
    fill_tensor(set->tensors[1], "mask", TENSOR_TYPE_UINT8, maskShape, mask, sizeof mask);
    return set;
}

InferenceInput_t requestFor(const std::string& deviceId, int64_t timestampUs) {
    InferenceInput_t request;
    request.timestampUs = timestampUs;
    request.details =
        std::make_shared<DeviceAgentDetails_t>(DeviceAgentDetails_t{deviceId, "Camera " + deviceId});
    return request;
}

TEST(TensorsMessage, RoundTripAndEntryCount) {
    const TensorsPtr set = twoTensors();
    const InferenceInput_t request = requestFor("cam", 99);
    const Bytes plain = toBytes(writeTensorsMessageMpack(request, set.get(), {}));
    EXPECT_EQ(plain[0], 0x86);
    const Bytes withSettings =
        toBytes(writeTensorsMessageMpack(request, set.get(), {{"a", "1"}, {"b", "2"}, {"c", "3"}}));
    EXPECT_EQ(withSettings[0], 0x87);
    EXPECT_EQ(Utils::parseCorrelationKey(plain), "cam|99");

    const TensorsPtr back = parseTensorsMessageMpack(withSettings);
    ASSERT_TRUE(back);
    ASSERT_EQ(back->count, 2);
    for (int i = 0; i < 2; ++i) {
        const Tensor& a = set->tensors[i];
        const Tensor& b = back->tensors[i];
        EXPECT_STREQ(a.name, b.name);
        EXPECT_EQ(a.type, b.type);
        ASSERT_EQ(a.rank, b.rank);
        EXPECT_EQ(0, std::memcmp(a.shape, b.shape, sizeof(int32_t) * size_t(a.rank)));
        ASSERT_EQ(a.size, b.size);
        EXPECT_EQ(0, std::memcmp(a.data, b.data, a.size));
    }
}

// A tensors document of one entry whose parts the caller chooses.
Bytes tensorsDocument(const std::string& name, const Bytes& data, const std::vector<int64_t>& shape,
                      int64_t type, size_t shapesCount = 1) {
    return document(6, [&](MessageWriter& w) {
        w.requestHeader(5, "d", "n");
        w.text("Tensors");
        w.map(1);
        w.text(name);
        w.bytes(data);
        w.text("TensorShapes");
        w.array(shapesCount);
        for (size_t i = 0; i < shapesCount; ++i) {
            w.array(shape.size());
            for (int64_t d : shape)
                w.integer(d);
        }
        w.text("TensorDataTypes");
        w.array(1);
        w.integer(type);
    });
}

TEST(TensorsMessage, MalformedAnswersAreRefusedWithTheirMessages) {
    struct Case {
        const char* what;
        Bytes message;
        const char* log;
    };
    const Bytes fourFloats(16, 0);
    const std::vector<Case> cases = {
        {"truncated", {0x86, 0xa9, 'T', 'i', 'm'}, "Error: failed to parse incoming tensor message\n"},
        {"Tensors missing", document(3, [](MessageWriter& w) { w.requestHeader(1, "d", "n"); }),
         "Error: missing or invalid fields in tensor message\n"},
        {"name of 3000 bytes", tensorsDocument(std::string(3000, 'n'), fourFloats, {4}, 1),
         "Error: failed to read tensor fields from message\n"},
        {"shapes count disagreeing", tensorsDocument("t", fourFloats, {4}, 1, 2),
         "Error: failed to read tensor fields from message\n"},
        {"data disagreeing with shape", tensorsDocument("t", fourFloats, {5}, 1),
         "Error: failed to read tensor fields from message\n"},
        {"dimension beyond 32 bits", tensorsDocument("t", fourFloats, {int64_t(1) << 40}, 1),
         "Error: failed to read tensor fields from message\n"},
        {"unknown element type", tensorsDocument("t", fourFloats, {4}, 99),
         "Error: failed to read tensor fields from message\n"},
        {"array announcing more entries than bytes",
         {0x81, 0xa1, 'a', 0xdd, 0x10, 0x00, 0x00, 0x00, 0x01},
         "Error: failed to parse incoming tensor message\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ipc_test::LogCapture log;
        EXPECT_FALSE(parseTensorsMessageMpack(c.message));
        EXPECT_TRUE(log.contains(c.log)) << log.text();
    }
    EXPECT_TRUE(parseTensorsMessageMpack(tensorsDocument("t", fourFloats, {1, 4}, 1)));
}

TEST(CorrelationKey, MadeFromDeviceAndTimestampAndReadFromAnswers) {
    EXPECT_EQ(Utils::makeCorrelationKey("abc", -5), "abc|-5");
    EXPECT_EQ(Utils::parseCorrelationKey(document(2,
                                                  [](MessageWriter& w) {
                                                      w.text("DeviceID");
                                                      w.text("x");
                                                      w.text("Timestamp");
                                                      w.integer(-7);
                                                  })),
              "x|-7");
    EXPECT_FALSE(Utils::parseCorrelationKey(document(1, [](MessageWriter& w) {
        w.text("Timestamp");
        w.integer(1);
    })));
    EXPECT_FALSE(Utils::parseCorrelationKey(document(2, [](MessageWriter& w) {
        w.text("Timestamp");
        w.integer(1);
        w.text("DeviceID");
        w.integer(3);
    })));
}

VekAIObjectPtr trackedObject(const char* attribute = nullptr) {
    auto object = std::make_shared<VekAIObject_t>();
    object->trackId = UuidHelper::randomUuid();
    object->typeId = "vek.vekai.forklift";
    object->boundingBox = {0.1f, 0.2f, 0.3f, 0.4f};
    object->confidence = 0.7f;
    object->skipFeatureExtraction = true;
    if (attribute != nullptr) {
        for (int copy = 0; copy < 2; ++copy)
            object->attributes.emplace_back(new vek::sdk::analytics::Attribute(
                vek::sdk::analytics::IAttribute::Type::string, attribute, "old"));
    }
    return object;
}

std::string idText(const VekAIObjectPtr& object) {
    return UuidHelper::toStdString(object->trackId,
                                   UuidHelper::uppercase | UuidHelper::hyphens | UuidHelper::braces);
}

TEST(ObjectsRequest, CarriesObjectsEventsAndOptionalPartsAsDeclared) {
    InferenceInput_t request = requestFor("cam", 10);
    ExternalPostprocessor_t processor;
    const Bytes empty = toBytes(serializeObjectsToMessagepack(request, {}, {}, processor, nullptr));
    {
        MessageTree tree(empty);
        ASSERT_TRUE(tree.root());
        EXPECT_EQ(tree.root()->via.map.size, 5u);
        const msgpack_object* objects = MessageTree::find(*tree.root(), "Objects");
        const msgpack_object* events = MessageTree::find(*tree.root(), "Events");
        ASSERT_TRUE(MessageTree::isMap(objects));
        EXPECT_EQ(objects->via.map.size, 0u);
        ASSERT_TRUE(MessageTree::isArray(events));
        EXPECT_EQ(events->via.array.size, 0u);
    }

    const VekAIObjectPtr forklift = trackedObject("colour");
    pipeline_stage_parameters_t stage;
    stage.postprocessorSettings = {{"k", "v"}};
    request.stage = &stage;
    request.parentObject = trackedObject();
    const float pixels[3] = {0.25f, 0.5f, 0.75f};
    request.videoFrame = std::make_shared<VideoFrame>(
        std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(pixels), sizeof pixels), 1, 1,
        ImageOrder::Planar);
    processor.receiveInputImage = true;
    processor.receiveBinaryData = true;
    const TensorsPtr tensors = twoTensors();
    const Bytes full = toBytes(serializeObjectsToMessagepack(request, {{"forklift", {forklift}}},
                                                             {vekai_make_event("e.id", true, "c", "said")},
                                                             processor, tensors.get()));
    MessageTree tree(full);
    ASSERT_TRUE(tree.root());
    EXPECT_EQ(tree.root()->via.map.size, 9u);
    const msgpack_object& object =
        MessageTree::find(*tree.root(), "Objects")->via.map.ptr[0].val.via.array.ptr[0];
    EXPECT_EQ(object.via.map.size, 7u);
    EXPECT_EQ(MessageTree::asText(MessageTree::find(object, "ID")), idText(forklift));
    EXPECT_EQ(idText(forklift).front(), '{');
    EXPECT_FLOAT_EQ(float(*MessageTree::asNumber(MessageTree::find(object, "height"))), 0.4f);
    EXPECT_EQ(MessageTree::asText(MessageTree::find(*tree.root(), "OriginalObjectID")),
              idText(request.parentObject));
    const msgpack_object* event = &MessageTree::find(*tree.root(), "Events")->via.array.ptr[0];
    EXPECT_EQ(MessageTree::asText(MessageTree::find(*event, "Description")), "said");
    const msgpack_object* image = MessageTree::find(*tree.root(), "ImageData");
    ASSERT_TRUE(MessageTree::isMap(image));
    EXPECT_EQ(MessageTree::asBytes(MessageTree::find(*image, "Data"))->size(), sizeof pixels);
    const msgpack_object* sentTensors = MessageTree::find(*tree.root(), "Tensors");
    ASSERT_TRUE(MessageTree::isArray(sentTensors));
    EXPECT_EQ(sentTensors->via.array.size, 2u);
    EXPECT_EQ(MessageTree::asText(MessageTree::find(sentTensors->via.array.ptr[1], "Name")), "mask");
}

// An answer with one class holding the objects the caller writes.
template <class Objects>
Bytes objectsAnswer(Objects objects, bool withEvents = true) {
    return document(withEvents ? 4 : 3, [&](MessageWriter& w) {
        w.text("Timestamp");
        w.integer(10);
        w.text("DeviceID");
        w.text("cam");
        w.text("Objects");
        w.map(1);
        w.text("forklift");
        objects(w);
        if (withEvents) {
            w.text("Events");
            w.array(0);
        }
    });
}

// A tracker holding these tracks for the device "cam".
struct SeededTracker {
    explicit SeededTracker(const std::map<std::string, std::vector<VekAIObjectPtr>>& tracks) {
        tracker.editDeviceTracks("cam", timer, [&](ObjectTracker::TracksByClass& store) {
            for (const auto& [className, objects] : tracks)
                for (const VekAIObjectPtr& object : objects)
                    store[className].push_back(*object);
        });
    }
    PostprocessingOutput_t read(const InferenceInput_t& request, const Bytes& answer) {
        return deserializeObjectsFromMessagepack(request, answer, tracker, timer);
    }
    VekAITimer timer{"test"};
    ObjectTracker tracker;
};

TEST(ObjectsAnswer, ChangesTrackedObjectsAndAddsNewTracks) {
    const InferenceInput_t request = requestFor("cam", 10);
    // The copy the pass sent; the tracker holds the track itself.
    const VekAIObjectPtr sent = trackedObject("colour");
    SeededTracker seeded({{"forklift", {sent}}});
    const std::string newId = UuidHelper::toStdString(UuidHelper::randomUuid());

    ipc_test::LogCapture log;
    const PostprocessingOutput_t output =
        seeded.read(request, objectsAnswer([&](MessageWriter& w) {
                        w.array(4);
                        w.map(4);  // a sent object: new confidence, attribute set on both copies, one added
                        w.text("ID");
                        w.text(idText(sent));
                        w.text("confidence");
                        w.integer(1);
                        w.text("attributes");
                        w.map(2);
                        w.text("colour");
                        w.text("blue");
                        w.text("load");
                        w.text("pallet");
                        w.text("x");
                        w.real(0.9f);
                        w.map(6);  // a new object
                        w.text("NewID");
                        w.text(newId);
                        for (const char* key : {"x", "y", "width", "height", "confidence"}) {
                            w.text(key);
                            w.real(0.5f);
                        }
                        w.map(2);  // a new object without confidence
                        w.text("NewID");
                        w.text("");
                        w.text("x");
                        w.real(0.1f);
                        w.map(1);  // neither id
                        w.text("confidence");
                        w.real(0.1f);
                    }));
    ASSERT_EQ(output.objects.count("forklift"), 1u);
    const auto& objects = output.objects.at("forklift");
    ASSERT_EQ(objects.size(), 2u);
    const std::vector<VekAIObject_t> tracks = seeded.tracker.tracksOf("cam", "forklift");
    ASSERT_EQ(tracks.size(), 2u) << "the new object is tracked from now on";
    // The reported object and the track it came from both carry the changes.
    for (const VekAIObject_t* changed :
         std::initializer_list<const VekAIObject_t*>{objects[0].get(), &tracks[0]}) {
        EXPECT_EQ(changed->trackId, sent->trackId);
        EXPECT_FLOAT_EQ(changed->confidence, 1.0f);
        EXPECT_FLOAT_EQ(changed->boundingBox.x, 0.1f);  // incomplete box ignored
        EXPECT_FALSE(changed->skipFeatureExtraction);
        EXPECT_EQ(changed->lastSeenUs, 10);
        ASSERT_EQ(changed->attributes.size(), 3u);
        EXPECT_STREQ(changed->attributes[0]->value(), "blue");
        EXPECT_STREQ(changed->attributes[1]->value(), "blue");
        EXPECT_STREQ(changed->attributes[2]->name(), "load");
    }
    EXPECT_NE(objects[0], sent);
    EXPECT_STREQ(sent->attributes[0]->value(), "old") << "the pass's own copy is left alone";
    EXPECT_TRUE(sent->skipFeatureExtraction);
    for (const VekAIObject_t* added :
         std::initializer_list<const VekAIObject_t*>{objects[1].get(), &tracks[1]}) {
        EXPECT_EQ(UuidHelper::toStdString(added->trackId), newId);
        EXPECT_EQ(added->typeId, Utils::toObjectTypeID("forklift"));
        EXPECT_EQ(added->firstSeenUs, 10);
        EXPECT_EQ(added->lastSeenUs, 10);
        EXPECT_FLOAT_EQ(added->confidence, 0.5f);
        EXPECT_FLOAT_EQ(added->boundingBox.height, 0.5f);
    }
    EXPECT_TRUE(log.contains(
        "Warning! Object returned with an incomplete bounding box. Ignoring the bounding box.\n"));
    EXPECT_TRUE(log.contains(
        "Warning! New object returned without a complete bounding box and confidence. Ignoring.\n"));
    EXPECT_TRUE(log.contains("Warning! Object returned without ID or NewID. Ignoring.\n"));
}

TEST(ObjectsAnswer, RenamedTrackKeepsItsNewIdAndALateAnswerNeverMovesItsLastSightingBack) {
    const VekAIObjectPtr sent = trackedObject();
    sent->lastSeenUs = 50;
    SeededTracker seeded({{"forklift", {sent}}});
    const vek::sdk::Uuid renamed = UuidHelper::randomUuid();
    const PostprocessingOutput_t output =
        seeded.read(requestFor("cam", 10), objectsAnswer([&](MessageWriter& w) {
                        w.array(1);
                        w.map(2);
                        w.text("ID");
                        w.text(idText(sent));
                        w.text("NewID");
                        w.text(UuidHelper::toStdString(renamed));
                    }));
    ASSERT_EQ(output.objects.at("forklift").size(), 1u);
    EXPECT_EQ(output.objects.at("forklift")[0]->trackId, renamed);
    const std::vector<VekAIObject_t> tracks = seeded.tracker.tracksOf("cam", "forklift");
    ASSERT_EQ(tracks.size(), 1u);
    EXPECT_EQ(tracks[0].trackId, renamed);
    EXPECT_EQ(tracks[0].lastSeenUs, 50);
}

TEST(ObjectsAnswer, NewObjectsOfADeviceWithoutTracksAreTrackedAndOtherDevicesAreUntouched) {
    SeededTracker seeded({});
    const Bytes answer = objectsAnswer([](MessageWriter& w) {
        w.array(1);
        w.map(5);
        w.text("NewID");
        w.text("");
        for (const char* key : {"x", "y", "width", "height"}) {
            w.text(key);
            w.real(0.25f);
        }
    });
    // Without confidence nothing is added.
    EXPECT_TRUE(seeded.read(requestFor("fresh", 3), answer).objects.empty());
    const Bytes complete = document(4, [](MessageWriter& w) {
        w.requestHeader(3, "fresh", "x");
        w.text("Objects");
        w.map(1);
        w.text("forklift");
        w.array(1);
        w.map(6);
        w.text("NewID");
        w.text("");
        for (const char* key : {"x", "y", "width", "height", "confidence"}) {
            w.text(key);
            w.real(0.25f);
        }
    });
    const PostprocessingOutput_t output = seeded.read(requestFor("fresh", 3), complete);
    ASSERT_EQ(output.objects.at("forklift").size(), 1u);
    EXPECT_FALSE(output.objects.at("forklift")[0]->trackId.isNull()) << "a random id for an empty NewID";
    EXPECT_EQ(seeded.tracker.tracksOf("fresh", "forklift").size(), 1u);
    EXPECT_TRUE(seeded.tracker.tracksOf("cam", "forklift").empty());
}

TEST(ObjectsAnswer, UnknownIdsRemovalsEventsAndBestShots) {
    InferenceInput_t request = requestFor("cam", 10);
    request.parentObject = trackedObject("colour");
    // The crop's parent is tracked under its own class.
    SeededTracker seeded({{"person", {request.parentObject}}});
    const std::string parentId = idText(request.parentObject);
    ipc_test::LogCapture log;
    const Bytes answer = document(5, [&](MessageWriter& w) {
        w.text("Timestamp");
        w.integer(10);
        w.text("DeviceID");
        w.text("cam");
        w.text("Objects");
        w.map(2);
        w.integer(5);  // class key that is not text
        w.array(0);
        w.text("forklift");
        w.array(2);
        w.map(2);
        w.text("ID");
        w.text(parentId);
        w.text("removeAttributes");
        w.array(2);
        w.text("colour");
        w.integer(1);
        w.map(1);
        w.text("ID");
        w.text("{00000000-0000-0000-0000-000000000001}");
        w.text("Events");
        w.array(2);
        w.map(2);
        w.text("ID");
        w.text("user.event");
        w.text("Description");
        w.text("happened");
        w.map(1);
        w.text("ID");
        w.text("half");
        w.text("BestShots");
        w.array(3);
        w.map(2);
        w.text("TrackId");
        w.text(parentId);
        w.text("BoundingBox");
        w.map(4);
        for (const char* key : {"x", "y", "width", "height"}) {
            w.text(key);
            w.real(0.25f);
        }
        w.map(1);
        w.text("TrackId");
        w.boolean(true);
        w.map(1);
        w.text("TrackId");
        w.text("not a track");
    });
    const PostprocessingOutput_t output = seeded.read(request, answer);
    ASSERT_EQ(output.objects.at("forklift").size(), 1u);
    EXPECT_EQ(output.objects.at("forklift")[0]->trackId, request.parentObject->trackId);
    EXPECT_TRUE(output.objects.at("forklift")[0]->attributes.empty());
    EXPECT_TRUE(seeded.tracker.tracksOf("cam", "person")[0].attributes.empty()) << "the parent's track";
    EXPECT_EQ(request.parentObject->attributes.size(), 2u) << "shared with the parent's pass";
    ASSERT_EQ(output.events.size(), 1u);
    EXPECT_STREQ(output.events[0]->typeId(), "user.event");
    ASSERT_EQ(output.bestShots.size(), 1u);
    EXPECT_EQ(output.bestShots[0].trackId, request.parentObject->trackId);
    ASSERT_TRUE(output.bestShots[0].boundingBox);
    EXPECT_FLOAT_EQ(output.bestShots[0].boundingBox->width, 0.25f);
    for (const char* line :
         {"Warning! Class key is not a string. Skipping.\n",
          "Warning! removeAttributes entry is not a string. Skipping.\n",
          "Warning! Could not find object ID: {00000000-0000-0000-0000-000000000001} in class "
          "forklift. Ignoring.\n",
          "Warning! Event missing required string fields. Skipping.\n",
          "Warning! BestShots entry missing or invalid TrackId. Skipping.\n"})
        EXPECT_TRUE(log.contains(line)) << line;

    // A parent whose track is gone is still changed for this answer, and its shared copy is not.
    SeededTracker empty({});
    const PostprocessingOutput_t untracked = empty.read(request, answer);
    ASSERT_EQ(untracked.objects.at("forklift").size(), 1u);
    EXPECT_TRUE(untracked.objects.at("forklift")[0]->attributes.empty());
    EXPECT_EQ(request.parentObject->attributes.size(), 2u);
    EXPECT_TRUE(empty.tracker.tracksOf("cam", "forklift").empty());
}

TEST(ObjectsAnswer, NilOrMissingPartsYieldNothingAndBrokenDocumentsAreRefused) {
    const InferenceInput_t request = requestFor("cam", 10);
    SeededTracker seeded({});
    const Bytes nils = document(5, [](MessageWriter& w) {
        w.requestHeader(10, "cam", "x");
        w.text("Objects");
        w.nil();
        w.text("Events");
        w.nil();
    });
    {
        ipc_test::LogCapture log;
        const PostprocessingOutput_t output = seeded.read(request, nils);
        EXPECT_TRUE(output.objects.empty() && output.events.empty() && output.bestShots.empty());
        EXPECT_FALSE(log.contains("Warning: Could not properly destroy mpack tree in deserialization\n"));
    }
    {
        ipc_test::LogCapture log;
        const Bytes missing = document(3, [](MessageWriter& w) { w.requestHeader(10, "cam", "x"); });
        EXPECT_TRUE(seeded.read(request, missing).objects.empty());
        EXPECT_TRUE(log.contains("Warning: Could not properly destroy mpack tree in deserialization\n"));
    }
    Bytes truncated = objectsAnswer([](MessageWriter& w) { w.array(0); });
    truncated.pop_back();
    ipc_test::LogCapture log;
    const PostprocessingOutput_t output = seeded.read(request, truncated);
    EXPECT_TRUE(output.objects.empty() && output.events.empty() && output.bestShots.empty());
    EXPECT_TRUE(log.contains("Error: failed to parse incoming msgpack response\n"));
}

}  // namespace
}  // namespace vekai
