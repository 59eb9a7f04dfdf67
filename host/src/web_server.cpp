#include <vekhost/web_page.h>

#include <httplib.h>
#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <vekhost/frame_annotator.h>
#include <vekhost/host_log.h>
#include <charconv>
#include <thread>

namespace vekhost {

// The page's files, embedded at build time from host/web.
extern const char kWebIndexHtml[];
extern const char kWebAppJs[];

namespace {

constexpr const char* kJson = "application/json";

void appendLittleEndian(std::string& out, uint32_t value, int bytes) {
    for (int i = 0; i < bytes; ++i)
        out.push_back(static_cast<char>((value >> (8 * i)) & 0xff));
}

std::string jsonOf(const std::vector<CameraTile>& tiles) {
    rapidjson::StringBuffer buffer;
    rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
    const auto text = [&](const char* name, const std::string& value) {
        writer.Key(name);
        writer.String(value.c_str(), static_cast<rapidjson::SizeType>(value.size()));
    };
    const auto number = [&](const char* name, int64_t value) {
        writer.Key(name);
        writer.Int64(value);
    };
    writer.StartObject();
    writer.Key("cameras");
    writer.StartArray();
    for (size_t index = 0; index < tiles.size(); ++index) {
        const CameraTile& tile = tiles[index];
        writer.StartObject();
        number("index", static_cast<int64_t>(index));
        text("id", tile.id);
        text("name", tile.name);
        text("source", tile.source);
        number("framesIn", tile.framesIn);
        number("objectPackets", tile.objectPackets);
        number("objects", tile.objects);
        number("events", tile.events);
        number("pushErrors", tile.pushErrors);
        text("crossings", tile.crossings);
        writer.Key("notices");
        writer.StartArray();
        for (const auto& notice : tile.notices)
            writer.String(notice.c_str(), static_cast<rapidjson::SizeType>(notice.size()));
        writer.EndArray();
        writer.EndObject();
    }
    writer.EndArray();
    writer.EndObject();
    return std::string(buffer.GetString(), buffer.GetSize());
}

std::string errorJson(const std::string& message) {
    rapidjson::StringBuffer buffer;
    rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
    writer.StartObject();
    writer.Key("error");
    writer.String(message.c_str(), static_cast<rapidjson::SizeType>(message.size()));
    writer.EndObject();
    return std::string(buffer.GetString(), buffer.GetSize());
}

std::optional<int> cameraIndex(const httplib::Request& request, int cameras) {
    const std::string text = request.matches[1];
    int index = -1;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), index);
    if (error != std::errc() || end != text.data() + text.size() || index < 0 || index >= cameras)
        return std::nullopt;
    return index;
}

void answerPage(httplib::Response& response, const Outcome<DeviceSettingsPage>& page) {
    if (!page) {
        response.status = 502;
        response.set_content(errorJson(page.error()), kJson);
        return;
    }
    response.set_content(pageJson(page.value()), kJson);
}

// The JSON object of a request body, or the reason it is not one.
Outcome<rapidjson::Document> bodyObject(const httplib::Request& request) {
    rapidjson::Document body;
    if (body.Parse(request.body.c_str(), request.body.size()).HasParseError() || !body.IsObject())
        return Failure{"the request body is not a JSON object"};
    return body;
}

void badRequest(httplib::Response& response, const std::string& message) {
    response.status = 400;
    response.set_content(errorJson(message), kJson);
}

}  // namespace

std::string bmpOf(const VideoFrame& frame) {
    const uint32_t width = static_cast<uint32_t>(frame.width());
    const uint32_t height = static_cast<uint32_t>(frame.height());
    const std::vector<uint8_t> rgb = rgbOf(frame);
    const uint32_t rowBytes = (width * 3 + 3) & ~3u;
    const uint32_t pixelBytes = rowBytes * height;
    std::string out;
    out.reserve(54 + pixelBytes);
    out += "BM";
    appendLittleEndian(out, 54 + pixelBytes, 4);
    appendLittleEndian(out, 0, 4);
    appendLittleEndian(out, 54, 4);
    appendLittleEndian(out, 40, 4);
    appendLittleEndian(out, width, 4);
    // Negative: rows from the top, as the frame keeps them.
    appendLittleEndian(out, static_cast<uint32_t>(-static_cast<int32_t>(height)), 4);
    appendLittleEndian(out, 1, 2);
    appendLittleEndian(out, 24, 2);
    appendLittleEndian(out, 0, 4);
    appendLittleEndian(out, pixelBytes, 4);
    appendLittleEndian(out, 2835, 4);
    appendLittleEndian(out, 2835, 4);
    appendLittleEndian(out, 0, 4);
    appendLittleEndian(out, 0, 4);
    for (uint32_t y = 0; y < height; ++y) {
        const uint8_t* row = &rgb[static_cast<size_t>(y) * width * 3];
        for (uint32_t x = 0; x < width; ++x) {
            out.push_back(static_cast<char>(row[x * 3 + 2]));
            out.push_back(static_cast<char>(row[x * 3 + 1]));
            out.push_back(static_cast<char>(row[x * 3]));
        }
        out.append(rowBytes - width * 3, '\0');
    }
    return out;
}

struct WebServer::Server {
    httplib::Server http;
    int port = 0;
    std::thread listener;
};

Outcome<std::unique_ptr<WebServer>> WebServer::start(WebBackend& backend, int port) {
    auto server = std::make_unique<Server>();
    httplib::Server& http = server->http;
    http.Get("/", [](const httplib::Request&, httplib::Response& response) {
        response.set_content(kWebIndexHtml, "text/html; charset=utf-8");
    });
    http.Get("/app.js", [](const httplib::Request&, httplib::Response& response) {
        response.set_content(kWebAppJs, "text/javascript; charset=utf-8");
    });
    http.Get("/api/cameras", [&backend](const httplib::Request&, httplib::Response& response) {
        response.set_header("Cache-Control", "no-store");
        response.set_content(jsonOf(backend.cameras()), kJson);
    });
    http.Get(R"(/api/cameras/(\d+)/frame\.bmp)",
             [&backend](const httplib::Request& request, httplib::Response& response) {
                 const auto camera = cameraIndex(request, backend.cameraCount());
                 const auto frame = camera ? backend.latestFrame(*camera) : nullptr;
                 if (!frame) {
                     response.status = 404;
                     return;
                 }
                 response.set_header("Cache-Control", "no-store");
                 response.set_content(bmpOf(*frame), "image/bmp");
             });
    http.Get(R"(/api/cameras/(\d+)/settings)",
             [&backend](const httplib::Request& request, httplib::Response& response) {
                 const auto camera = cameraIndex(request, backend.cameraCount());
                 if (!camera)
                     return badRequest(response, "no such camera");
                 answerPage(response, backend.settings(*camera));
             });
    http.Post(R"(/api/cameras/(\d+)/press)",
              [&backend](const httplib::Request& request, httplib::Response& response) {
                  const auto camera = cameraIndex(request, backend.cameraCount());
                  if (!camera)
                      return badRequest(response, "no such camera");
                  auto body = bodyObject(request);
                  if (!body)
                      return badRequest(response, body.error());
                  const auto name = body->FindMember("name");
                  if (name == body->MemberEnd() || !name->value.IsString())
                      return badRequest(response, "the press needs the button's \"name\"");
                  const std::string button(name->value.GetString(), name->value.GetStringLength());
                  logInfo("web page: pressing " + button + " on camera " + std::to_string(*camera + 1));
                  answerPage(response, backend.press(*camera, button));
              });
    http.Post(R"(/api/cameras/(\d+)/apply)",
              [&backend](const httplib::Request& request, httplib::Response& response) {
                  const auto camera = cameraIndex(request, backend.cameraCount());
                  if (!camera)
                      return badRequest(response, "no such camera");
                  auto body = bodyObject(request);
                  if (!body)
                      return badRequest(response, body.error());
                  const auto values = body->FindMember("values");
                  if (values == body->MemberEnd() || !values->value.IsObject())
                      return badRequest(response, "the apply needs an object of \"values\"");
                  SettingValues changes;
                  for (const auto& member : values->value.GetObject()) {
                      if (!member.value.IsString())
                          return badRequest(response, std::string("the value of ") + member.name.GetString() +
                                                          " is not a string");
                      changes[member.name.GetString()] = member.value.GetString();
                  }
                  logInfo("web page: applying " + std::to_string(changes.size()) + " value(s) on camera " +
                          std::to_string(*camera + 1));
                  answerPage(response, backend.apply(*camera, changes));
              });

    if (port == 0)
        server->port = http.bind_to_any_port("127.0.0.1");
    else if (http.bind_to_port("127.0.0.1", port))
        server->port = port;
    if (server->port <= 0)
        return Failure{"the web page cannot listen on 127.0.0.1:" + std::to_string(port)};
    // The socket listens from here on; requests wait in its backlog until the loop accepts them.
    server->listener = std::thread([&http] { http.listen_after_bind(); });
    // A stop before the loop runs would be lost and the loop would never end.
    while (!http.is_running())
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return std::unique_ptr<WebServer>(new WebServer(std::move(server)));
}

WebServer::WebServer(std::unique_ptr<Server> server) : server(std::move(server)) {}

WebServer::~WebServer() {
    server->http.stop();
    if (server->listener.joinable())
        server->listener.join();
}

std::string WebServer::address() const {
    return "http://127.0.0.1:" + std::to_string(server->port) + "/";
}

}  // namespace vekhost
