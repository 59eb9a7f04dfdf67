#include <vekhost/rest_router.h>

#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

namespace vekhost {
namespace {

RestResponse notFound(const RestRequest& request) {
    rapidjson::StringBuffer buffer;
    rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
    writer.StartObject();
    writer.Key("error");
    writer.String("404");
    writer.Key("errorId");
    writer.String("notFound");
    writer.Key("errorString");
    writer.String("No resource for " + request.method + " " + request.pathWithQuery);
    writer.EndObject();
    return {404, buffer.GetString()};
}

}  // namespace

RestResponse RestRouter::handle(const RestRequest& request) const {
    return notFound(request);
}

}  // namespace vekhost
