#include <vekhost/frame_annotator.h>

#include <rapidjson/document.h>

#include <vekhost/host_log.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstring>

namespace vekhost {
namespace {

struct Colour {
    uint8_t y, u, v;
};
constexpr Colour kBoxColour{150, 44, 21};
constexpr Colour kTextColour{235, 128, 128};
constexpr Colour kLabelBackground{16, 128, 128};
constexpr Colour kLineColour{82, 90, 240};
constexpr int kFontScale = 2;
constexpr int kGlyphWidth = 3;
constexpr int kGlyphHeight = 5;
constexpr int kBoxThickness = 2;

// 3x5 glyphs, a row per entry, the left column in bit 2.
std::array<uint8_t, kGlyphHeight> glyph(char c) {
    static const char* const kDigits[] = {"75557", "26227", "71747", "71717", "55711",
                                          "74717", "74757", "71111", "75757", "75717"};
    static const char* const kLetters[] = {"25755", "65656", "34443", "65556", "74647", "74644", "34553",
                                           "55755", "72227", "11152", "55655", "44447", "57755", "65555",
                                           "25552", "65644", "25563", "65655", "34216", "72222", "55557",
                                           "55552", "55775", "55255", "55222", "71247"};
    const char* rows = "00000";
    const char lower = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (lower >= '0' && lower <= '9')
        rows = kDigits[lower - '0'];
    else if (lower >= 'a' && lower <= 'z')
        rows = kLetters[lower - 'a'];
    else if (lower == '-')
        rows = "00700";
    else if (lower == '_')
        rows = "00007";
    std::array<uint8_t, kGlyphHeight> bits{};
    for (int row = 0; row < kGlyphHeight; ++row)
        bits[static_cast<size_t>(row)] = static_cast<uint8_t>(rows[row] - '0');
    return bits;
}

void setPixel(VideoFrame& frame, int x, int y, Colour colour) {
    if (x < 0 || y < 0 || x >= frame.width() || y >= frame.height())
        return;
    frame.mutableData(0)[y * frame.lineSize(0) + x] = colour.y;
    frame.mutableData(1)[(y / 2) * frame.lineSize(1) + x / 2] = colour.u;
    frame.mutableData(2)[(y / 2) * frame.lineSize(2) + x / 2] = colour.v;
}

void fill(VideoFrame& frame, int left, int top, int right, int bottom, Colour colour) {
    for (int y = top; y < bottom; ++y)
        for (int x = left; x < right; ++x)
            setPixel(frame, x, y, colour);
}

void drawText(VideoFrame& frame, int left, int top, const std::string& text) {
    const int advance = (kGlyphWidth + 1) * kFontScale;
    fill(frame, left, top, left + static_cast<int>(text.size()) * advance + kFontScale,
         top + (kGlyphHeight + 2) * kFontScale, kLabelBackground);
    for (size_t i = 0; i < text.size(); ++i) {
        const auto bits = glyph(text[i]);
        for (int row = 0; row < kGlyphHeight; ++row)
            for (int column = 0; column < kGlyphWidth; ++column)
                if (bits[static_cast<size_t>(row)] & (4 >> column)) {
                    const int x = left + kFontScale + static_cast<int>(i) * advance + column * kFontScale;
                    const int y = top + kFontScale + row * kFontScale;
                    fill(frame, x, y, x + kFontScale, y + kFontScale, kTextColour);
                }
    }
}

uint8_t clampByte(double value) {
    return static_cast<uint8_t>(std::clamp(value, 0.0, 255.0));
}

std::unique_ptr<VideoFrame> copyOf(const VideoFrame& frame) {
    auto copy = std::make_unique<VideoFrame>(frame.width(), frame.height());
    for (int plane = 0; plane < 3; ++plane)
        std::memcpy(copy->mutableData(plane), frame.data(plane), static_cast<size_t>(frame.dataSize(plane)));
    copy->setTimestampUs(frame.timestampUs());
    return copy;
}

// Answers that lag further behind than this many frames are not waited for in clips.
constexpr size_t kMaxClipBacklog = 32;

// The snapshot's picture: the crossing line and its totals under the boxes.
void annotate(VideoFrame& frame, const std::optional<CrossingLine>& line, const std::string& crossings,
              const std::vector<AnnotatedBox>& boxes) {
    if (line) {
        drawLine(frame, *line);
        drawText(frame, 0, 0, crossings);
    }
    drawBoxes(frame, boxes);
}

}  // namespace

void drawBoxes(VideoFrame& frame, const std::vector<AnnotatedBox>& boxes) {
    const int width = frame.width();
    const int height = frame.height();
    for (const auto& box : boxes) {
        const int left = static_cast<int>(box.x * static_cast<float>(width));
        const int top = static_cast<int>(box.y * static_cast<float>(height));
        const int right = static_cast<int>((box.x + box.w) * static_cast<float>(width));
        const int bottom = static_cast<int>((box.y + box.h) * static_cast<float>(height));
        fill(frame, left, top, right, top + kBoxThickness, kBoxColour);
        fill(frame, left, bottom - kBoxThickness, right, bottom, kBoxColour);
        fill(frame, left, top, left + kBoxThickness, bottom, kBoxColour);
        fill(frame, right - kBoxThickness, top, right, bottom, kBoxColour);
        const int labelHeight = (kGlyphHeight + 2) * kFontScale;
        drawText(frame, left, top >= labelHeight ? top - labelHeight : top, box.label);
    }
}

void drawLine(VideoFrame& frame, const CrossingLine& line) {
    const float width = static_cast<float>(frame.width());
    const float height = static_cast<float>(frame.height());
    const float x1 = line[0] * width, y1 = line[1] * height, x2 = line[2] * width, y2 = line[3] * height;
    const int steps = static_cast<int>(std::max(std::abs(x2 - x1), std::abs(y2 - y1))) + 1;
    for (int step = 0; step <= steps; ++step) {
        const float along = static_cast<float>(step) / static_cast<float>(steps);
        const int x = static_cast<int>(x1 + (x2 - x1) * along);
        const int y = static_cast<int>(y1 + (y2 - y1) * along);
        fill(frame, x - 1, y - 1, x + 2, y + 2, kLineColour);
    }
}

std::optional<CrossingLine> crossingLineOf(const SettingValues& values) {
    for (const auto& [name, value] : values) {
        if (name.rfind("lineCrossingLine_", 0) != 0)
            continue;
        rapidjson::Document document;
        if (document.Parse(value.c_str(), value.size()).HasParseError() || !document.IsObject())
            continue;
        const auto figure = document.FindMember("figure");
        if (figure == document.MemberEnd() || !figure->value.IsObject())
            continue;
        const auto points = figure->value.FindMember("points");
        if (points == figure->value.MemberEnd() || !points->value.IsArray() || points->value.Size() < 2)
            continue;
        CrossingLine line{};
        bool complete = true;
        for (unsigned end = 0; end < 2; ++end) {
            const auto& point = points->value[end];
            complete = complete && point.IsArray() && point.Size() >= 2 && point[0].IsNumber() &&
                       point[1].IsNumber();
            if (complete) {
                line[end * 2] = point[0].GetFloat();
                line[end * 2 + 1] = point[1].GetFloat();
            }
        }
        if (complete)
            return line;
    }
    return std::nullopt;
}

std::vector<uint8_t> rgbOf(const VideoFrame& frame) {
    const int width = frame.width();
    const int height = frame.height();
    std::vector<uint8_t> rgb(static_cast<size_t>(width) * static_cast<size_t>(height) * 3);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            const double luma = 1.164 * (frame.data(0)[y * frame.lineSize(0) + x] - 16);
            const double u = frame.data(1)[(y / 2) * frame.lineSize(1) + x / 2] - 128;
            const double v = frame.data(2)[(y / 2) * frame.lineSize(2) + x / 2] - 128;
            uint8_t* pixel =
                &rgb[(static_cast<size_t>(y) * static_cast<size_t>(width) + static_cast<size_t>(x)) * 3];
            pixel[0] = clampByte(luma + 1.596 * v);
            pixel[1] = clampByte(luma - 0.392 * u - 0.813 * v);
            pixel[2] = clampByte(luma + 2.017 * u);
        }
    }
    return rgb;
}

bool writePpm(const VideoFrame& frame, const std::filesystem::path& path) {
    const std::vector<uint8_t> rgb = rgbOf(frame);
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (!file)
        return false;
    std::fprintf(file, "P6\n%d %d\n255\n", frame.width(), frame.height());
    const bool written = std::fwrite(rgb.data(), 1, rgb.size(), file) == rgb.size();
    return std::fclose(file) == 0 && written;
}

std::vector<AnnotatedBox> boxesOfPacket(const std::string& jsonLine) {
    std::vector<AnnotatedBox> boxes;
    rapidjson::Document packet;
    if (packet.Parse(jsonLine.c_str(), jsonLine.size()).HasParseError() || !packet.IsObject())
        return boxes;
    const auto objects = packet.FindMember("objects");
    if (objects == packet.MemberEnd() || !objects->value.IsArray())
        return boxes;
    const auto text = [](const rapidjson::Value& object, const char* name) {
        const auto found = object.FindMember(name);
        return found != object.MemberEnd() && found->value.IsString() ? std::string(found->value.GetString())
                                                                      : std::string();
    };
    const auto number = [](const rapidjson::Value& box, const char* name) {
        const auto found = box.FindMember(name);
        return found != box.MemberEnd() && found->value.IsNumber() ? found->value.GetFloat() : 0.0f;
    };
    for (const auto& object : objects->value.GetArray()) {
        if (!object.IsObject())
            continue;
        const auto box = object.FindMember("box");
        if (box == object.MemberEnd() || !box->value.IsObject())
            continue;
        std::string type = text(object, "typeId");
        type = type.substr(type.rfind('.') + 1);
        // The track's first four hex digits tell tracks apart on one picture.
        const std::string track = text(object, "trackId").substr(0, 4);
        boxes.push_back({number(box->value, "x"), number(box->value, "y"), number(box->value, "w"),
                         number(box->value, "h"), type + " " + track});
    }
    return boxes;
}

FrameAnnotator::FrameAnnotator(std::filesystem::path outputDir, std::chrono::milliseconds interval)
    : outputDir(std::move(outputDir)), interval(interval) {}

void FrameAnnotator::offerFrame(const std::string& cameraId, const VideoFrame& frame) {
    const auto now = std::chrono::steady_clock::now();
    std::lock_guard lock(mutex);
    Camera& camera = cameras[cameraId];
    if (clipFormat && !camera.clipDone) {
        if (camera.clipFrames.size() >= kMaxClipBacklog)
            camera.clipFrames.pop_front();
        camera.clipFrames.push_back(copyOf(frame));
    }
    // A kept frame the plugin never answered is replaced after an interval.
    if (camera.lastKept && now - *camera.lastKept < interval)
        return;
    camera.waiting = copyOf(frame);
    camera.lastKept = now;
}

void FrameAnnotator::offerObjectPacket(const std::string& cameraId, int64_t timestampUs,
                                       const std::string& jsonLine) {
    std::unique_ptr<VideoFrame> snapshot;
    std::unique_ptr<VideoFrame> clipFrame;
    int64_t sequence = 0;
    std::optional<CrossingLine> line;
    std::string crossings;
    {
        std::lock_guard lock(mutex);
        const auto found = cameras.find(cameraId);
        if (found == cameras.end())
            return;
        Camera& camera = found->second;
        if (camera.waiting && camera.waiting->timestampUs() == timestampUs) {
            snapshot = std::move(camera.waiting);
            sequence = ++camera.written;
        }
        // Frames older than the one answered were skipped by the plugin.
        while (!camera.clipFrames.empty() && camera.clipFrames.front()->timestampUs() < timestampUs)
            camera.clipFrames.pop_front();
        if (!camera.clipFrames.empty() && camera.clipFrames.front()->timestampUs() == timestampUs) {
            clipFrame = std::move(camera.clipFrames.front());
            camera.clipFrames.pop_front();
        }
        line = camera.line;
        crossings = camera.crossings;
    }
    if (!snapshot && !clipFrame)
        return;
    const std::vector<AnnotatedBox> boxes = boxesOfPacket(jsonLine);
    if (clipFrame) {
        annotate(*clipFrame, line, crossings, boxes);
        addToClip(cameraId, *clipFrame);
    }
    if (!snapshot)
        return;
    annotate(*snapshot, line, crossings, boxes);
    char name[64];
    std::snprintf(name, sizeof(name), "-%06lld.ppm", static_cast<long long>(sequence));
    std::error_code ignored;
    std::filesystem::create_directories(outputDir, ignored);
    const auto path = outputDir / (cameraId + name);
    if (!writePpm(*snapshot, path))
        logWarning("cannot write the annotated frame " + path.string());
    std::lock_guard lock(mutex);
    cameras[cameraId].latest = std::move(snapshot);
}

void FrameAnnotator::addToClip(const std::string& cameraId, const VideoFrame& frame) {
    bool done = false;
    {
        std::lock_guard lock(clipMutex);
        if (!clipFormat)
            return;
        Clip& clip = clips[cameraId];
        if (!clip.writer) {
            std::error_code ignored;
            std::filesystem::create_directories(outputDir, ignored);
            auto opened = ClipWriter::open(outputDir / (cameraId + "-clip" + clipFormat->extension),
                                           *clipFormat, frame.width(), frame.height(), clipFramesPerSecond);
            if (opened) {
                clip.writer = std::move(opened.value());
                clip.firstTimestampUs = frame.timestampUs();
                logInfo("recording a clip of " + std::to_string(clipLength.count() / 1000) + " s to " +
                        clip.writer->path().string());
            } else {
                logWarning(opened.error());
            }
        }
        if (clip.writer) {
            if (Status written = clip.writer->write(frame); !written)
                logVerbose(written.error());
            done = frame.timestampUs() - clip.firstTimestampUs >=
                   std::chrono::duration_cast<std::chrono::microseconds>(clipLength).count();
            if (done) {
                if (Status finished = clip.writer->finish(); !finished)
                    logWarning(finished.error());
                else if (clip.writer->framesWritten() > 0)
                    finishedClips.push_back(clip.writer->path());
                clip.writer.reset();
            }
        } else {
            done = true;
        }
    }
    if (!done)
        return;
    std::lock_guard lock(mutex);
    cameras[cameraId].clipDone = true;
    cameras[cameraId].clipFrames.clear();
}

void FrameAnnotator::recordClips(const ClipFormat& format, std::chrono::milliseconds length,
                                 double framesPerSecond) {
    std::scoped_lock lock(mutex, clipMutex);
    clipFormat = format;
    clipLength = length;
    clipFramesPerSecond = framesPerSecond;
}

std::vector<std::filesystem::path> FrameAnnotator::finishClips() {
    std::scoped_lock lock(mutex, clipMutex);
    for (auto& [id, camera] : cameras)
        camera.clipFrames.clear();
    for (auto& [id, clip] : clips) {
        if (!clip.writer)
            continue;
        if (Status finished = clip.writer->finish(); !finished)
            logWarning(finished.error());
        else if (clip.writer->framesWritten() > 0)
            finishedClips.push_back(clip.writer->path());
        clip.writer.reset();
    }
    clipFormat.reset();
    return finishedClips;
}

std::string FrameAnnotator::crossings(const std::string& cameraId) const {
    std::lock_guard lock(mutex);
    const auto found = cameras.find(cameraId);
    return found == cameras.end() || !found->second.line ? std::string() : found->second.crossings;
}

std::shared_ptr<const VideoFrame> FrameAnnotator::latestFrame(const std::string& cameraId) const {
    std::lock_guard lock(mutex);
    const auto found = cameras.find(cameraId);
    return found == cameras.end() ? nullptr : found->second.latest;
}

void FrameAnnotator::offerEventPacket(const std::string& cameraId, const std::string& jsonLine) {
    rapidjson::Document packet;
    if (packet.Parse(jsonLine.c_str(), jsonLine.size()).HasParseError() || !packet.IsObject())
        return;
    const auto events = packet.FindMember("events");
    if (events == packet.MemberEnd() || !events->value.IsArray())
        return;
    for (const auto& event : events->value.GetArray()) {
        if (!event.IsObject())
            continue;
        const auto type = event.FindMember("typeId");
        const auto description = event.FindMember("description");
        if (type == event.MemberEnd() || !type->value.IsString() ||
            !std::string_view(type->value.GetString()).ends_with(".linecrossing") ||
            description == event.MemberEnd() || !description->value.IsString())
            continue;
        long long left = 0;
        long long right = 0;
        if (std::sscanf(description->value.GetString(), "Left: %lld Right: %lld", &left, &right) != 2)
            continue;
        std::lock_guard lock(mutex);
        cameras[cameraId].crossings = "left " + std::to_string(left) + " right " + std::to_string(right);
    }
}

void FrameAnnotator::setCrossingLine(const std::string& cameraId, const CrossingLine& line) {
    std::lock_guard lock(mutex);
    cameras[cameraId].line = line;
}

int64_t FrameAnnotator::imagesWritten() const {
    std::lock_guard lock(mutex);
    int64_t total = 0;
    for (const auto& [id, camera] : cameras)
        total += camera.written;
    return total;
}

}  // namespace vekhost
