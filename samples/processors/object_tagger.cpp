// Sample objects postprocessor: gives every object the attribute "Side" (left or right half of the
// frame), sends a best shot of each object seen with a confidence of at least --BestShotConfidence
// (default 0.8), and raises its own event "sample.tagger.sides" with the count on each side.
#include <string>
#include <vector>

#include "processor_loop.h"

int main(int argc, char** argv) {
    const double bestShotConfidence = std::stod(sample::option(argc, argv, "--BestShotConfidence", "0.8"));

    return sample::serve(argc, argv, [&](const msgpack_object& request, msgpack_packer& answer) {
        const msgpack_object* objects = sample::find(request, "Objects");
        if (objects == nullptr || objects->type != MSGPACK_OBJECT_MAP)
            return false;
        std::vector<const msgpack_object*> bestShots;
        int left = 0;
        int right = 0;

        msgpack_pack_map(&answer, 5);
        sample::packCorrelation(answer, request);
        sample::packText(answer, "Objects");
        msgpack_pack_map(&answer, objects->via.map.size);
        for (uint32_t c = 0; c < objects->via.map.size; ++c) {
            msgpack_pack_object(&answer, objects->via.map.ptr[c].key);
            const msgpack_object& list = objects->via.map.ptr[c].val;
            const uint32_t count = list.type == MSGPACK_OBJECT_ARRAY ? list.via.array.size : 0;
            msgpack_pack_array(&answer, count);
            for (uint32_t o = 0; o < count; ++o) {
                const msgpack_object& object = list.via.array.ptr[o];
                const double centre = sample::number(sample::find(object, "x"), 0) +
                                      sample::number(sample::find(object, "width"), 0) / 2;
                const bool onLeft = centre < 0.5;
                (onLeft ? left : right) += 1;
                if (sample::number(sample::find(object, "confidence"), 0) >= bestShotConfidence)
                    bestShots.push_back(&object);
                // Only what changes: the object keeps its box and confidence.
                msgpack_pack_map(&answer, 2);
                sample::packText(answer, "ID");
                sample::packText(answer, sample::text(sample::find(object, "ID")));
                sample::packText(answer, "attributes");
                msgpack_pack_map(&answer, 1);
                sample::packText(answer, "Side");
                sample::packText(answer, onLeft ? "left" : "right");
            }
        }
        sample::packText(answer, "Events");
        msgpack_pack_array(&answer, 1);
        msgpack_pack_map(&answer, 2);
        sample::packText(answer, "ID");
        sample::packText(answer, "sample.tagger.sides");
        sample::packText(answer, "Description");
        sample::packText(answer,
                         std::to_string(left) + " on the left, " + std::to_string(right) + " on the right");
        sample::packText(answer, "BestShots");
        msgpack_pack_array(&answer, bestShots.size());
        for (const msgpack_object* object : bestShots) {
            msgpack_pack_map(&answer, 2);
            sample::packText(answer, "TrackId");
            sample::packText(answer, sample::text(sample::find(*object, "ID")));
            sample::packText(answer, "BoundingBox");
            msgpack_pack_map(&answer, 4);
            for (const char* key : {"x", "y", "width", "height"}) {
                sample::packText(answer, key);
                msgpack_pack_float(&answer, float(sample::number(sample::find(*object, key), 0)));
            }
        }
        return true;
    });
}
