#include <vekhost/video_file_source.h>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/imgutils.h>
#include <libavutil/pixdesc.h>
#include <libswscale/swscale.h>
}

#include <vekhost/host_log.h>
#include <cstring>
#include <mutex>

namespace vekhost {
namespace {

// Packets the decoder may reject in a row before the file counts as broken.
constexpr int kMaxConsecutiveDecodeErrors = 50;

std::string ffmpegError(int code) {
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(code, text, sizeof(text));
    return text;
}

void quietenFfmpeg() {
    static std::once_flag once;
    std::call_once(once, [] { av_log_set_level(AV_LOG_ERROR); });
}

struct FormatCloser {
    void operator()(AVFormatContext* context) const { avformat_close_input(&context); }
};
struct CodecCloser {
    void operator()(AVCodecContext* context) const { avcodec_free_context(&context); }
};
struct FrameFreer {
    void operator()(AVFrame* frame) const { av_frame_free(&frame); }
};
struct PacketFreer {
    void operator()(AVPacket* packet) const { av_packet_free(&packet); }
};
struct ScalerFreer {
    void operator()(SwsContext* context) const { sws_freeContext(context); }
};

double rationalOrZero(AVRational value) {
    return value.num > 0 && value.den > 0 ? av_q2d(value) : 0.0;
}

void copyPlane(uint8_t* target, int targetLineSize, const uint8_t* source, int sourceLineSize, int width,
               int height) {
    for (int row = 0; row < height; ++row)
        std::memcpy(target + static_cast<ptrdiff_t>(row) * targetLineSize,
                    source + static_cast<ptrdiff_t>(row) * sourceLineSize, static_cast<size_t>(width));
}

}  // namespace

struct VideoFileSource::Decoder {
    std::filesystem::path path;
    bool loop = false;
    std::unique_ptr<AVFormatContext, FormatCloser> format;
    std::unique_ptr<AVCodecContext, CodecCloser> codec;
    std::unique_ptr<AVFrame, FrameFreer> decoded{av_frame_alloc()};
    std::unique_ptr<AVPacket, PacketFreer> packet{av_packet_alloc()};
    std::unique_ptr<SwsContext, ScalerFreer> scaler;
    int streamIndex = -1;
    AVRational timeBase{1, 1};
    double frameRate = 0;

    bool draining = false;
    int consecutiveErrors = 0;
    // Presentation times within the current pass, and what earlier passes add to them.
    int64_t framesThisPass = 0;
    double firstSeconds = 0;
    double lastSeconds = 0;
    double loopOffset = 0;

    double frameDuration() const { return frameRate > 0 ? 1.0 / frameRate : 1.0 / 25.0; }

    NextFrame failed(std::string message) const {
        NextFrame result;
        result.state = NextFrame::State::failed;
        result.error = path.string() + ": " + std::move(message);
        return result;
    }

    // Reads one packet of the video stream into the decoder; false when the reading failed.
    bool feed(std::string* error) {
        const int read = av_read_frame(format.get(), packet.get());
        if (read == AVERROR_EOF) {
            draining = true;
            avcodec_send_packet(codec.get(), nullptr);
            return true;
        }
        if (read < 0) {
            *error = "cannot read: " + ffmpegError(read);
            return false;
        }
        if (packet->stream_index == streamIndex) {
            const int sent = avcodec_send_packet(codec.get(), packet.get());
            if (sent < 0 && sent != AVERROR(EAGAIN)) {
                logWarning(path.string() + ": skipping a packet the decoder rejected: " + ffmpegError(sent));
                if (++consecutiveErrors > kMaxConsecutiveDecodeErrors) {
                    av_packet_unref(packet.get());
                    *error = "too many undecodable packets in a row";
                    return false;
                }
            }
        }
        av_packet_unref(packet.get());
        return true;
    }

    bool rewind(std::string* error) {
        const int sought = av_seek_frame(format.get(), streamIndex, 0, AVSEEK_FLAG_BACKWARD);
        if (sought < 0) {
            *error = "cannot start over: " + ffmpegError(sought);
            return false;
        }
        avcodec_flush_buffers(codec.get());
        draining = false;
        loopOffset += lastSeconds - firstSeconds + frameDuration();
        framesThisPass = 0;
        return true;
    }

    double presentationSeconds() {
        const int64_t pts = decoded->best_effort_timestamp;
        double seconds = 0;
        if (pts != AV_NOPTS_VALUE)
            seconds = static_cast<double>(pts) * av_q2d(timeBase);
        else if (framesThisPass > 0)
            seconds = lastSeconds + frameDuration();
        if (framesThisPass == 0)
            firstSeconds = seconds;
        lastSeconds = seconds;
        ++framesThisPass;
        return seconds - firstSeconds + loopOffset;
    }

    Outcome<vek::sdk::Ptr<VideoFrame>> convert() {
        const int width = decoded->width;
        const int height = decoded->height;
        if (width <= 0 || height <= 0)
            return Failure{"decoded a frame without a size"};
        vek::sdk::Ptr<VideoFrame> frame(new VideoFrame(width, height));
        const auto format = static_cast<AVPixelFormat>(decoded->format);
        if (format == AV_PIX_FMT_YUV420P || format == AV_PIX_FMT_YUVJ420P) {
            for (int plane = 0; plane < 3; ++plane) {
                const PlaneLayout& layout = frame->plane(plane);
                copyPlane(frame->mutableData(plane), layout.lineSize, decoded->data[plane],
                          decoded->linesize[plane], layout.width, layout.height);
            }
            return frame;
        }
        scaler.reset(sws_getCachedContext(scaler.release(), width, height, format, width, height,
                                          AV_PIX_FMT_YUV420P, SWS_BILINEAR, nullptr, nullptr, nullptr));
        if (!scaler) {
            const char* name = av_get_pix_fmt_name(format);
            return Failure{std::string("cannot convert pixel format ") + (name ? name : "unknown")};
        }
        uint8_t* const planes[4] = {frame->mutableData(0), frame->mutableData(1), frame->mutableData(2),
                                    nullptr};
        const int lineSizes[4] = {frame->lineSize(0), frame->lineSize(1), frame->lineSize(2), 0};
        sws_scale(scaler.get(), decoded->data, decoded->linesize, 0, height, planes, lineSizes);
        return frame;
    }
};

Outcome<std::unique_ptr<VideoFileSource>> VideoFileSource::open(const std::filesystem::path& path,
                                                                bool loop) {
    quietenFfmpeg();
    auto decoder = std::make_unique<Decoder>();
    decoder->path = path;
    decoder->loop = loop;
    if (!decoder->decoded || !decoder->packet)
        return Failure{"out of memory opening " + path.string()};

    AVFormatContext* format = nullptr;
    if (const int opened = avformat_open_input(&format, path.c_str(), nullptr, nullptr); opened < 0)
        return Failure{"cannot open video " + path.string() + ": " + ffmpegError(opened)};
    decoder->format.reset(format);
    if (const int found = avformat_find_stream_info(format, nullptr); found < 0)
        return Failure{"cannot read stream information of " + path.string() + ": " + ffmpegError(found)};

    const AVCodec* codec = nullptr;
    const int streamIndex = av_find_best_stream(format, AVMEDIA_TYPE_VIDEO, -1, -1, &codec, 0);
    if (streamIndex < 0 || !codec)
        return Failure{"no decodable video stream in " + path.string()};
    const AVStream* stream = format->streams[streamIndex];
    decoder->streamIndex = streamIndex;
    decoder->timeBase = stream->time_base;
    decoder->frameRate = rationalOrZero(stream->avg_frame_rate);
    if (decoder->frameRate <= 0)
        decoder->frameRate = rationalOrZero(stream->r_frame_rate);

    decoder->codec.reset(avcodec_alloc_context3(codec));
    if (!decoder->codec)
        return Failure{"out of memory opening " + path.string()};
    if (const int copied = avcodec_parameters_to_context(decoder->codec.get(), stream->codecpar); copied < 0)
        return Failure{"bad codec parameters in " + path.string() + ": " + ffmpegError(copied)};
    if (const int opened = avcodec_open2(decoder->codec.get(), codec, nullptr); opened < 0)
        return Failure{"cannot open the " + std::string(codec->name) + " decoder for " + path.string() +
                       ": " + ffmpegError(opened)};
    return std::unique_ptr<VideoFileSource>(new VideoFileSource(std::move(decoder)));
}

VideoFileSource::VideoFileSource(std::unique_ptr<Decoder> decoder) : decoder(std::move(decoder)) {}

VideoFileSource::~VideoFileSource() = default;

NextFrame VideoFileSource::next() {
    Decoder& d = *decoder;
    std::string error;
    for (;;) {
        const int received = avcodec_receive_frame(d.codec.get(), d.decoded.get());
        if (received == 0) {
            d.consecutiveErrors = 0;
            const double seconds = d.presentationSeconds();
            Outcome<vek::sdk::Ptr<VideoFrame>> converted = d.convert();
            av_frame_unref(d.decoded.get());
            if (!converted)
                return d.failed(converted.error());
            NextFrame result;
            result.state = NextFrame::State::frame;
            result.frame.frame = std::move(converted.value());
            result.frame.presentationSeconds = seconds;
            return result;
        }
        if (received == AVERROR(EAGAIN) && !d.draining) {
            if (!d.feed(&error))
                return d.failed(error);
            continue;
        }
        if (received != AVERROR_EOF && received != AVERROR(EAGAIN))
            return d.failed("cannot decode: " + ffmpegError(received));
        // A file that gave no frame in a whole pass would loop for ever.
        if (!d.loop || d.framesThisPass == 0)
            return NextFrame{};
        if (!d.rewind(&error))
            return d.failed(error);
    }
}

std::string VideoFileSource::description() const {
    return decoder->path.filename().string();
}

double VideoFileSource::declaredFrameRate() const {
    return decoder->frameRate;
}

}  // namespace vekhost
