#include <gtest/gtest.h>
#include <rapidjson/document.h>

#include <vekhost/metadata_json.h>
#include <cmath>
#include <limits>

#include "fake_plugin/fake_metadata.h"

namespace vekhost {
namespace {

using namespace testing;
using vek::sdk::Ptr;

rapidjson::Document parse(const std::string& line) {
    rapidjson::Document document;
    document.Parse(line.c_str());
    EXPECT_FALSE(document.HasParseError()) << line;
    EXPECT_EQ(line.find('\n'), std::string::npos);
    return document;
}

FakeObject* makeObject(const char* typeId, float confidence, uint8_t track, Rect box) {
    auto* object = new FakeObject();
    object->typeIdText = typeId;
    object->confidenceValue = confidence;
    object->track = sequentialUuid(track);
    object->box = box;
    return object;
}

TEST(HostMetadataJson, ObjectPacketLine) {
    const Ptr<FakeObjectPacket> packet(new FakeObjectPacket(1'700'000'000'123'456));
    FakeObject* person = makeObject("vek.base.Person", 0.875f, 0x10, Rect{0.1f, 0.2f, 0.3f, 0.4f});
    person->attributes = {{"color", "red", 0.5f}, {"size", "large", 1.0f}};
    packet->add(person);
    packet->add(makeObject("vek.vekai.cat", 0.5f, 0x20, Rect{0, 0, 1, 1}));

    const PacketDigest digest = digestMetadataPacket("cam-1", packet.get());
    EXPECT_EQ(digest.kind, PacketDigest::Kind::objects);
    EXPECT_EQ(digest.itemCount, 2);
    EXPECT_EQ(digest.timestampUs, 1'700'000'000'123'456);

    const auto json = parse(digest.jsonLine);
    EXPECT_STREQ(json["camera"].GetString(), "cam-1");
    EXPECT_STREQ(json["type"].GetString(), "objects");
    EXPECT_EQ(json["timestampUs"].GetInt64(), 1'700'000'000'123'456);
    const auto& objects = json["objects"];
    ASSERT_EQ(objects.Size(), 2u);
    const auto& first = objects[0];
    EXPECT_STREQ(first["typeId"].GetString(), "vek.base.Person");
    EXPECT_DOUBLE_EQ(first["confidence"].GetDouble(), 0.875);
    EXPECT_STREQ(first["trackId"].GetString(), "10111213-1415-1617-1819-1a1b1c1d1e1f");
    EXPECT_NEAR(first["box"]["x"].GetDouble(), 0.1, 1e-6);
    EXPECT_NEAR(first["box"]["y"].GetDouble(), 0.2, 1e-6);
    EXPECT_NEAR(first["box"]["w"].GetDouble(), 0.3, 1e-6);
    EXPECT_NEAR(first["box"]["h"].GetDouble(), 0.4, 1e-6);
    ASSERT_EQ(first["attributes"].Size(), 2u);
    EXPECT_STREQ(first["attributes"][0]["name"].GetString(), "color");
    EXPECT_STREQ(first["attributes"][0]["value"].GetString(), "red");
    EXPECT_DOUBLE_EQ(first["attributes"][0]["confidence"].GetDouble(), 0.5);
    EXPECT_STREQ(first["attributes"][1]["value"].GetString(), "large");
    EXPECT_STREQ(objects[1]["trackId"].GetString(), "20212223-2425-2627-2829-2a2b2c2d2e2f");
    EXPECT_EQ(objects[1]["attributes"].Size(), 0u);
    // Floats are written short, not as their double expansion.
    EXPECT_NE(digest.jsonLine.find("\"x\":0.1,"), std::string::npos) << digest.jsonLine;
}

TEST(HostMetadataJson, EventPacketLine) {
    const Ptr<FakeEventPacket> packet(new FakeEventPacket(42));
    auto* event = new FakeEvent();
    event->typeIdText = "vek.vekai.lineCrossing";
    event->confidenceValue = 1;
    event->captionText = "Line crossed";
    event->descriptionText = "Person crossed \"Gate\"";
    event->active = true;
    event->track = sequentialUuid(1);
    packet->add(event);

    const PacketDigest digest = digestMetadataPacket("cam-2", packet.get());
    EXPECT_EQ(digest.kind, PacketDigest::Kind::events);
    EXPECT_EQ(digest.itemCount, 1);
    const auto json = parse(digest.jsonLine);
    EXPECT_STREQ(json["type"].GetString(), "events");
    const auto& first = json["events"][0];
    EXPECT_STREQ(first["typeId"].GetString(), "vek.vekai.lineCrossing");
    EXPECT_STREQ(first["caption"].GetString(), "Line crossed");
    EXPECT_STREQ(first["description"].GetString(), "Person crossed \"Gate\"");
    EXPECT_TRUE(first["isActive"].GetBool());
    EXPECT_STREQ(first["trackId"].GetString(), "01020304-0506-0708-090a-0b0c0d0e0f10");
}

TEST(HostMetadataJson, BestShotLine) {
    const Ptr<FakeBestShotPacket> packet(new FakeBestShotPacket());
    packet->timestamp = 7;
    packet->track = sequentialUuid(0xf0);
    packet->box = Rect{0.5f, 0.25f, 0.125f, 0.0625f};

    const PacketDigest digest = digestMetadataPacket("cam-3", packet.get());
    EXPECT_EQ(digest.kind, PacketDigest::Kind::bestShot);
    const auto json = parse(digest.jsonLine);
    EXPECT_STREQ(json["type"].GetString(), "bestShot");
    EXPECT_EQ(json["timestampUs"].GetInt64(), 7);
    EXPECT_STREQ(json["trackId"].GetString(), "f0f1f2f3-f4f5-f6f7-f8f9-fafbfcfdfeff");
    EXPECT_DOUBLE_EQ(json["box"]["w"].GetDouble(), 0.125);
    EXPECT_DOUBLE_EQ(json["box"]["h"].GetDouble(), 0.0625);
}

TEST(HostMetadataJson, BadValuesFromThePluginStillGiveValidJson) {
    const Ptr<FakeObjectPacket> packet(new FakeObjectPacket(1));
    packet->add(makeObject(nullptr, std::numeric_limits<float>::quiet_NaN(), 0,
                           Rect{std::numeric_limits<float>::infinity(), 0, 0, 0}));
    const PacketDigest digest = digestMetadataPacket("cam\"4", packet.get());
    const auto json = parse(digest.jsonLine);
    EXPECT_STREQ(json["camera"].GetString(), "cam\"4");
    const auto& object = json["objects"][0];
    EXPECT_TRUE(object["typeId"].IsNull());
    EXPECT_TRUE(object["confidence"].IsNull());
    EXPECT_TRUE(object["box"]["x"].IsNull());
    EXPECT_DOUBLE_EQ(object["box"]["y"].GetDouble(), 0);
}

TEST(HostMetadataJson, UnknownPacketKind) {
    class PlainPacket : public vek::sdk::RefCountable<IMetadataPacket> {
    public:
        int64_t timestampUs() const override { return 5; }
    };
    const Ptr<PlainPacket> packet(new PlainPacket());
    const PacketDigest digest = digestMetadataPacket("cam", packet.get());
    EXPECT_EQ(digest.kind, PacketDigest::Kind::other);
    EXPECT_STREQ(parse(digest.jsonLine)["type"].GetString(), "other");
}

TEST(HostMetadataJson, ReferencesTakenWhileReadingAreGivenBack) {
    const Ptr<FakeObjectPacket> packet(new FakeObjectPacket(1));
    FakeObject* object = makeObject("a", 1, 0, Rect{});
    object->attributes = {{"k", "v", 1}};
    packet->add(object);
    digestMetadataPacket("cam", packet.get());
    EXPECT_EQ(packet->refCountThreadUnsafe(), 1);
    EXPECT_EQ(object->refCountThreadUnsafe(), 1);
}

}  // namespace
}  // namespace vekhost
