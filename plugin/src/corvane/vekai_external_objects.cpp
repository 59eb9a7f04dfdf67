#include "corvane/vekai_external_objects.h"

#include <vek/sdk/helpers/uuid_helper.h>

#include <algorithm>
#include <string>

#include "corvane/vekai_video_frame.h"
#include "utils/plugin_utils.h"
#include "vekai_utilities/vekai_utils.h"

namespace vekai {

namespace {

using vek::sdk::Uuid;
using vek::sdk::UuidHelper;
using vek::sdk::analytics::Attribute;
using vek::sdk::analytics::Rect;

constexpr size_t kMaxAttributeTextBytes = 255;

std::string trackIdText(const Uuid& id) {
    return UuidHelper::toStdString(id, UuidHelper::uppercase | UuidHelper::hyphens | UuidHelper::braces);
}

void writeObject(MessageWriter& writer, const VekAIObject_t& object) {
    writer.map(7);
    writer.text("ID");
    writer.text(trackIdText(object.trackId));
    writer.text("x");
    writer.real(object.boundingBox.x);
    writer.text("y");
    writer.real(object.boundingBox.y);
    writer.text("width");
    writer.real(object.boundingBox.width);
    writer.text("height");
    writer.real(object.boundingBox.height);
    writer.text("confidence");
    writer.real(object.confidence);
    writer.text("attributes");
    size_t present = 0;
    for (const auto& attribute : object.attributes)
        present += attribute ? 1 : 0;
    writer.map(present);
    for (const auto& attribute : object.attributes) {
        if (!attribute)
            continue;
        writer.text(attribute->name());
        writer.text(attribute->value());
    }
}

void writeTensors(MessageWriter& writer, const Tensors* tensors) {
    const std::span<const Tensor> entries = tensor_entries(tensors);
    writer.array(entries.size());
    for (const Tensor& entry : entries) {
        writer.map(4);
        writer.text("Name");
        writer.text(entry.name == nullptr ? "" : entry.name);
        writer.text("DataType");
        writer.integer(entry.type);
        writer.text("Shape");
        const std::span<const int32_t> dims = tensor_dims(entry);
        writer.array(dims.size());
        for (int32_t dim : dims)
            writer.unsignedInteger(uint64_t(std::max(dim, 0)));
        writer.text("Data");
        writer.bytes(
            {static_cast<const uint8_t*>(entry.data), entry.data == nullptr ? 0 : size_t(entry.size)});
    }
}

// All four of x, y, width and height, or none of them.
std::optional<Rect> readBox(const msgpack_object& map, bool& incomplete) {
    const char* const keys[] = {"x", "y", "width", "height"};
    float values[4] = {};
    int found = 0;
    for (int i = 0; i < 4; ++i) {
        if (const auto number = MessageTree::asNumber(MessageTree::find(map, keys[i]))) {
            values[i] = float(*number);
            ++found;
        }
    }
    incomplete = found != 0 && found != 4;
    if (found != 4)
        return std::nullopt;
    return Rect{values[0], values[1], values[2], values[3]};
}

using TracksByClass = ObjectTracker::TracksByClass;

VekAIObject_t* findTrack(std::vector<VekAIObject_t>& tracks, const Uuid& id) {
    for (VekAIObject_t& track : tracks)
        if (track.trackId == id)
            return &track;
    return nullptr;
}

// The parent object of a crop is tracked under its own class, which the request does not name.
VekAIObject_t* findTrackInAnyClass(TracksByClass& tracks, const Uuid& id) {
    for (auto& [className, classTracks] : tracks)
        if (VekAIObject_t* track = findTrack(classTracks, id))
            return track;
    return nullptr;
}

void applyAttributes(VekAIObject_t& object, const msgpack_object& answer) {
    if (const msgpack_object* attributes = MessageTree::find(answer, "attributes");
        MessageTree::isMap(attributes)) {
        for (uint32_t i = 0; i < attributes->via.map.size; ++i) {
            const auto name = MessageTree::asText(&attributes->via.map.ptr[i].key);
            const auto value = MessageTree::asText(&attributes->via.map.ptr[i].val);
            if (!name || !value || name->size() > kMaxAttributeTextBytes ||
                value->size() > kMaxAttributeTextBytes) {
                vekai_vlog("Warning! Failed to read attribute strings. Skipping.\n");
                continue;
            }
            bool replaced = false;
            for (auto& attribute : object.attributes) {
                if (attribute && *name == attribute->name()) {
                    attribute = vek::sdk::Ptr<Attribute>(new Attribute(
                        attribute->type(), std::string(*name), std::string(*value), attribute->confidence()));
                    replaced = true;
                }
            }
            if (!replaced)
                object.attributes.push_back(vek::sdk::Ptr<Attribute>(
                    new Attribute(Attribute::Type::string, std::string(*name), std::string(*value), 1.0f)));
        }
    }
    if (const msgpack_object* removals = MessageTree::find(answer, "removeAttributes");
        MessageTree::isArray(removals)) {
        for (uint32_t i = 0; i < removals->via.array.size; ++i) {
            const auto name = MessageTree::asText(&removals->via.array.ptr[i]);
            if (!name) {
                vekai_vlog("Warning! removeAttributes entry is not a string. Skipping.\n");
                continue;
            }
            std::erase_if(object.attributes,
                          [&](const auto& attribute) { return attribute && *name == attribute->name(); });
        }
    }
}

// Changes the named tracks in place and adds the new ones, so that what the processor set lasts
// into later frames; the result holds copies, as the tracker's own results do.
void readObjects(const InferenceInput_t& request, const msgpack_object& objects, TracksByClass& tracks,
                 ObjectsByClass& result) {
    for (uint32_t c = 0; c < objects.via.map.size; ++c) {
        const auto classKey = MessageTree::asText(&objects.via.map.ptr[c].key);
        if (!classKey) {
            vekai_vlog("Warning! Class key is not a string. Skipping.\n");
            continue;
        }
        const std::string className(*classKey);
        const msgpack_object& list = objects.via.map.ptr[c].val;
        if (list.type != MSGPACK_OBJECT_ARRAY)
            continue;
        for (uint32_t o = 0; o < list.via.array.size; ++o) {
            const msgpack_object& answer = list.via.array.ptr[o];
            const auto id = MessageTree::asText(MessageTree::find(answer, "ID"));
            const auto newId = MessageTree::asText(MessageTree::find(answer, "NewID"));
            if (answer.type != MSGPACK_OBJECT_MAP || (!id && !newId)) {
                vekai_vlog("Warning! Object returned without ID or NewID. Ignoring.\n");
                continue;
            }
            bool incomplete = false;
            const std::optional<Rect> box = readBox(answer, incomplete);
            if (incomplete)
                vekai_vlog(
                    "Warning! Object returned with an incomplete bounding box. Ignoring the bounding box.\n");
            const auto confidence = MessageTree::asNumber(MessageTree::find(answer, "confidence"));

            VekAIObject_t* object = nullptr;
            // A parent object whose track has been trimmed since: changed for this answer only. The
            // request's own copy is shared with the parent's pass and stays as it is.
            VekAIObject_t untracked;
            if (!id) {
                if (!box || !confidence) {
                    vekai_vlog(
                        "Warning! New object returned without a complete bounding box and confidence. "
                        "Ignoring.\n");
                    continue;
                }
                VekAIObject_t track;
                track.firstSeenUs = request.timestampUs;
                track.lastSeenUs = request.timestampUs;
                const Uuid readId = UuidHelper::fromStdString(std::string(*newId));
                track.trackId = readId.isNull() ? UuidHelper::randomUuid() : readId;
                track.typeId = Utils::toObjectTypeID(className);
                std::vector<VekAIObject_t>& classTracks = tracks[className];
                classTracks.push_back(std::move(track));
                object = &classTracks.back();
            } else {
                const Uuid wanted = UuidHelper::fromStdString(std::string(*id));
                if (!wanted.isNull()) {
                    if (auto found = tracks.find(className); found != tracks.end())
                        object = findTrack(found->second, wanted);
                    if (object == nullptr && request.parentObject &&
                        request.parentObject->trackId == wanted) {
                        object = findTrackInAnyClass(tracks, wanted);
                        if (object == nullptr) {
                            untracked = *request.parentObject;
                            object = &untracked;
                        }
                    }
                }
                if (object == nullptr) {
                    vekai_vlog("Warning! Could not find object ID: %s in class %s. Ignoring.\n",
                               std::string(*id).c_str(), className.c_str());
                    continue;
                }
                if (newId) {
                    if (const Uuid renamed = UuidHelper::fromStdString(std::string(*newId));
                        !renamed.isNull())
                        object->trackId = renamed;
                }
            }
            // A late answer must not move the last sighting back (see the tracker).
            object->lastSeenUs = std::max(object->lastSeenUs, request.timestampUs);
            if (box)
                object->boundingBox = *box;
            if (confidence)
                object->confidence = float(*confidence);
            object->skipFeatureExtraction =
                MessageTree::asBool(MessageTree::find(answer, "skipFeatureExtraction")).value_or(false);
            applyAttributes(*object, answer);
            result[className].push_back(std::make_shared<VekAIObject_t>(*object));
        }
    }
}

void readEvents(const msgpack_object& events, std::vector<EventPtr>& result) {
    for (uint32_t i = 0; i < events.via.array.size; ++i) {
        const msgpack_object& event = events.via.array.ptr[i];
        const auto typeId = MessageTree::asText(MessageTree::find(event, "ID"));
        const auto description = MessageTree::asText(MessageTree::find(event, "Description"));
        if (!typeId || !description) {
            vekai_vlog("Warning! Event missing required string fields. Skipping.\n");
            continue;
        }
        result.push_back(vekai_make_event(std::string(*typeId).c_str(), true, "", std::string(*description)));
    }
}

void readBestShots(const msgpack_object& bestShots, std::vector<BestShot_t>& result) {
    for (uint32_t i = 0; i < bestShots.via.array.size; ++i) {
        const msgpack_object& entry = bestShots.via.array.ptr[i];
        const auto trackId = MessageTree::asText(MessageTree::find(entry, "TrackId"));
        // Text that is no UUID would name no track at the host.
        const Uuid id = trackId ? UuidHelper::fromStdString(std::string(*trackId)) : Uuid{};
        if (id.isNull()) {
            vekai_vlog("Warning! BestShots entry missing or invalid TrackId. Skipping.\n");
            continue;
        }
        BestShot_t shot;
        shot.trackId = id;
        if (const msgpack_object* box = MessageTree::find(entry, "BoundingBox"); MessageTree::isMap(box)) {
            bool incomplete = false;
            shot.boundingBox = readBox(*box, incomplete);
        }
        result.push_back(std::move(shot));
    }
}

}  // namespace

std::optional<EncodedMessage> serializeObjectsToMessagepack(const InferenceInput_t& request,
                                                            const ObjectsByClass& objects,
                                                            const std::vector<EventPtr>& events,
                                                            const ExternalPostprocessor_t& processor,
                                                            const Tensors* tensors) {
    static const UserSettings kNoSettings;
    const UserSettings& settings = request.stage ? request.stage->postprocessorSettings : kNoSettings;
    const bool withParent = request.parentObject != nullptr;
    const bool withImage = processor.receiveInputImage && request.videoFrame != nullptr;
    const bool withTensors = processor.receiveBinaryData;

    MessageWriter writer;
    writer.map(5 + size_t(withParent) + size_t(!settings.empty()) + size_t(withImage) + size_t(withTensors));
    writer.requestHeader(request.timestampUs, request.details ? request.details->deviceId : std::string(),
                         request.details ? request.details->deviceName : std::string());
    writer.text("Objects");
    writer.map(objects.size());
    for (const auto& [className, list] : objects) {
        vekai_vlog_verbose("Writing class %s with length %zu to postprocessor...\n", className.c_str(),
                           list.size());
        writer.text(className);
        size_t present = 0;
        for (const VekAIObjectPtr& object : list)
            present += object ? 1 : 0;
        writer.array(present);
        for (const VekAIObjectPtr& object : list)
            if (object)
                writeObject(writer, *object);
    }
    writer.text("Events");
    size_t presentEvents = 0;
    for (const EventPtr& event : events)
        presentEvents += event ? 1 : 0;
    writer.array(presentEvents);
    for (const EventPtr& event : events) {
        if (!event)
            continue;
        writer.map(2);
        writer.text("ID");
        writer.text(event->typeId());
        writer.text("Description");
        writer.text(event->description());
    }
    if (withParent) {
        writer.text("OriginalObjectID");
        writer.text(trackIdText(request.parentObject->trackId));
    }
    if (!settings.empty()) {
        writer.text("UserSettings");
        writer.settings(settings);
    }
    if (withImage) {
        const VideoFrame& frame = *request.videoFrame;
        writer.text("ImageData");
        writer.map(4);
        writer.text("Height");
        writer.unsignedInteger(frame.height());
        writer.text("Width");
        writer.unsignedInteger(frame.width());
        writer.text("Layout");
        writer.integer(frame.layout());
        writer.text("Data");
        writer.bytes(frame.data());
    }
    if (withTensors) {
        writer.text("Tensors");
        writeTensors(writer, tensors);
    }
    std::optional<EncodedMessage> encoded = writer.finish();
    if (!encoded)
        vekai_vlog("Error: Failed to serialize objects for postprocessor\n");
    return encoded;
}

PostprocessingOutput_t deserializeObjectsFromMessagepack(const InferenceInput_t& request,
                                                         std::span<const uint8_t> answer,
                                                         ObjectTracker& tracker, VekAITimer& timer) {
    PostprocessingOutput_t result;
    const MessageTree tree(answer);
    const msgpack_object* root = tree.root();
    if (root == nullptr) {
        vekai_vlog("Error: failed to parse incoming msgpack response\n");
        return result;
    }
    if (!request.details) {
        vekai_vlog("Warning! Device %s not found in cache during deserialization.\n", "");
        return result;
    }
    bool requiredMissing = false;
    const msgpack_object* objects = MessageTree::find(*root, "Objects");
    if (MessageTree::isMap(objects))
        tracker.editDeviceTracks(request.details->deviceId, timer, [&](TracksByClass& tracks) {
            readObjects(request, *objects, tracks, result.objects);
        });
    else
        requiredMissing = requiredMissing || !MessageTree::isNil(objects);
    const msgpack_object* events = MessageTree::find(*root, "Events");
    if (MessageTree::isArray(events))
        readEvents(*events, result.events);
    else
        requiredMissing = requiredMissing || !MessageTree::isNil(events);
    if (const msgpack_object* bestShots = MessageTree::find(*root, "BestShots");
        MessageTree::isArray(bestShots))
        readBestShots(*bestShots, result.bestShots);
    if (requiredMissing)
        vekai_vlog("Warning: Could not properly destroy mpack tree in deserialization\n");
    return result;
}

}  // namespace vekai
