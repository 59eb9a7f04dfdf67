#include <vekhost/clip_writer.h>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/opt.h>
}

#include <algorithm>
#include <cmath>
#include <cstring>
#include <mutex>

namespace vekhost {
namespace {

std::string ffmpegError(int code) {
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(code, text, sizeof(text));
    return text;
}

struct OutputCloser {
    void operator()(AVFormatContext* context) const {
        if (context->pb)
            avio_closep(&context->pb);
        avformat_free_context(context);
    }
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

// Browsers play the first two; the last is what every FFmpeg build has.
constexpr std::pair<const char*, const char*> kFormats[] = {
    {"libx264", ".mp4"}, {"libvpx", ".webm"}, {"mpeg4", ".mp4"}};

// Timestamps are kept in milliseconds.
constexpr AVRational kTimeBase{1, 1000};

}  // namespace

struct ClipWriter::Encoder {
    std::unique_ptr<AVFormatContext, OutputCloser> output;
    std::unique_ptr<AVCodecContext, CodecCloser> codec;
    std::unique_ptr<AVFrame, FrameFreer> frame{av_frame_alloc()};
    std::unique_ptr<AVPacket, PacketFreer> packet{av_packet_alloc()};
    AVStream* stream = nullptr;
    int64_t firstTimestampUs = 0;
    int64_t lastPts = -1;
    // In the time base; without it MP4 gives the last picture no time on screen and players drop it.
    int64_t frameDuration = 40;
};

std::optional<ClipFormat> availableClipFormat() {
    for (const auto& [name, extension] : kFormats)
        if (avcodec_find_encoder_by_name(name))
            return ClipFormat{name, extension};
    return std::nullopt;
}

Outcome<std::unique_ptr<ClipWriter>> ClipWriter::open(const std::filesystem::path& path,
                                                      const ClipFormat& format, int width, int height,
                                                      double framesPerSecond) {
    const std::string where = "clip " + path.string() + ": ";
    // The encoders' own statistics would drown the host's console.
    static std::once_flag quieten;
    std::call_once(quieten, [] { av_log_set_level(AV_LOG_ERROR); });
    const AVCodec* codec = avcodec_find_encoder_by_name(format.encoder.c_str());
    if (!codec)
        return Failure{where + "no encoder " + format.encoder};
    // Encoders of 4:2:0 want even sides.
    if (width < 2 || height < 2 || width % 2 != 0 || height % 2 != 0)
        return Failure{where + "frames of " + std::to_string(width) + "x" + std::to_string(height) +
                       " cannot be encoded"};
    auto encoder = std::make_unique<Encoder>();
    if (!encoder->frame || !encoder->packet)
        return Failure{where + "out of memory"};
    AVFormatContext* output = nullptr;
    int result = avformat_alloc_output_context2(&output, nullptr, nullptr, path.c_str());
    if (result < 0 || !output)
        return Failure{where + "no container for this name: " + ffmpegError(result)};
    encoder->output.reset(output);
    encoder->codec.reset(avcodec_alloc_context3(codec));
    if (!encoder->codec)
        return Failure{where + "out of memory"};
    AVCodecContext* context = encoder->codec.get();
    context->width = width;
    context->height = height;
    context->pix_fmt = AV_PIX_FMT_YUV420P;
    context->time_base = kTimeBase;
    const double rate = framesPerSecond > 0 ? framesPerSecond : 25.0;
    context->framerate = AVRational{static_cast<int>(std::lround(rate * 1000)), 1000};
    encoder->frameDuration = std::max<int64_t>(1, std::lround(1000.0 / rate));
    context->gop_size = 50;
    // Every picture leaves the encoder as it comes, so that a clip cut short still has them all.
    context->max_b_frames = 0;
    context->bit_rate = 2'000'000;
    if (format.encoder == "libx264") {
        av_opt_set(context->priv_data, "preset", "veryfast", 0);
        av_opt_set(context->priv_data, "crf", "26", 0);
    }
    if (output->oformat->flags & AVFMT_GLOBALHEADER)
        context->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    if ((result = avcodec_open2(context, codec, nullptr)) < 0)
        return Failure{where + "cannot open the encoder " + format.encoder + ": " + ffmpegError(result)};
    encoder->stream = avformat_new_stream(output, nullptr);
    if (!encoder->stream)
        return Failure{where + "out of memory"};
    encoder->stream->time_base = kTimeBase;
    if ((result = avcodec_parameters_from_context(encoder->stream->codecpar, context)) < 0)
        return Failure{where + ffmpegError(result)};
    if ((result = avio_open(&output->pb, path.c_str(), AVIO_FLAG_WRITE)) < 0)
        return Failure{where + "cannot create the file: " + ffmpegError(result)};
    if ((result = avformat_write_header(output, nullptr)) < 0)
        return Failure{where + "cannot write the header: " + ffmpegError(result)};

    AVFrame* frame = encoder->frame.get();
    frame->format = AV_PIX_FMT_YUV420P;
    frame->width = width;
    frame->height = height;
    if ((result = av_frame_get_buffer(frame, 0)) < 0)
        return Failure{where + ffmpegError(result)};
    return std::unique_ptr<ClipWriter>(new ClipWriter(std::move(encoder), path));
}

ClipWriter::ClipWriter(std::unique_ptr<Encoder> encoder, std::filesystem::path path)
    : encoder(std::move(encoder)), filePath(std::move(path)) {}

ClipWriter::~ClipWriter() {
    finish();
}

Status ClipWriter::write(const VideoFrame& source) {
    if (finished)
        return Failure{"clip " + filePath.string() + " is finished"};
    AVFrame* frame = encoder->frame.get();
    if (source.width() != frame->width || source.height() != frame->height)
        return Failure{"clip " + filePath.string() + ": a frame of another size"};
    if (written == 0)
        encoder->firstTimestampUs = source.timestampUs();
    const int64_t pts = (source.timestampUs() - encoder->firstTimestampUs) / 1000;
    if (pts <= encoder->lastPts)
        return Failure{"clip " + filePath.string() + ": a frame not later than the previous one"};
    // The encoder may still hold the previous picture's buffer.
    if (int result = av_frame_make_writable(frame); result < 0)
        return Failure{"clip " + filePath.string() + ": " + ffmpegError(result)};
    for (int plane = 0; plane < 3; ++plane) {
        const int rows = plane == 0 ? frame->height : (frame->height + 1) / 2;
        const int bytes = plane == 0 ? frame->width : (frame->width + 1) / 2;
        for (int row = 0; row < rows; ++row)
            std::memcpy(frame->data[plane] + static_cast<ptrdiff_t>(row) * frame->linesize[plane],
                        source.data(plane) + static_cast<ptrdiff_t>(row) * source.lineSize(plane),
                        static_cast<size_t>(bytes));
    }
    frame->pts = pts;
    encoder->lastPts = pts;
    if (int result = avcodec_send_frame(encoder->codec.get(), frame); result < 0)
        return Failure{"clip " + filePath.string() + ": cannot encode: " + ffmpegError(result)};
    ++written;
    return drain();
}

Status ClipWriter::drain() {
    for (;;) {
        const int received = avcodec_receive_packet(encoder->codec.get(), encoder->packet.get());
        if (received == AVERROR(EAGAIN) || received == AVERROR_EOF)
            return success();
        if (received < 0)
            return Failure{"clip " + filePath.string() + ": " + ffmpegError(received)};
        if (encoder->packet->duration <= 0)
            encoder->packet->duration = encoder->frameDuration;
        av_packet_rescale_ts(encoder->packet.get(), encoder->codec->time_base, encoder->stream->time_base);
        encoder->packet->stream_index = encoder->stream->index;
        if (const int result = av_interleaved_write_frame(encoder->output.get(), encoder->packet.get());
            result < 0)
            return Failure{"clip " + filePath.string() + ": cannot write: " + ffmpegError(result)};
    }
}

Status ClipWriter::finish() {
    if (finished)
        return success();
    finished = true;
    avcodec_send_frame(encoder->codec.get(), nullptr);
    Status drained = drain();
    const int result = av_write_trailer(encoder->output.get());
    encoder->output.reset();
    if (!drained)
        return drained;
    if (result < 0)
        return Failure{"clip " + filePath.string() + ": cannot complete the file: " + ffmpegError(result)};
    return success();
}

}  // namespace vekhost
