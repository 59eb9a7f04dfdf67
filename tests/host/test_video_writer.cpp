#include "test_video_writer.h"

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/imgutils.h>
#include <libavutil/pixdesc.h>
}

#include <cstring>
#include <memory>

namespace vekhost::testing {
namespace {

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

std::string describe(const char* what, int code) {
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(code, text, sizeof(text));
    return std::string(what) + ": " + text;
}

void fillFlat(AVFrame* frame, int index) {
    const AVPixFmtDescriptor* descriptor = av_pix_fmt_desc_get(static_cast<AVPixelFormat>(frame->format));
    const int chromaWidth = AV_CEIL_RSHIFT(frame->width, descriptor->log2_chroma_w);
    const int chromaHeight = AV_CEIL_RSHIFT(frame->height, descriptor->log2_chroma_h);
    const int values[3] = {testVideoLuma(index), kTestVideoU, kTestVideoV};
    for (int plane = 0; plane < 3; ++plane) {
        const int width = plane == 0 ? frame->width : chromaWidth;
        const int height = plane == 0 ? frame->height : chromaHeight;
        for (int row = 0; row < height; ++row)
            std::memset(frame->data[plane] + row * frame->linesize[plane], values[plane],
                        static_cast<size_t>(width));
    }
}

}  // namespace

std::string writeTestVideo(const std::filesystem::path& path, const TestVideo& video) {
    AVFormatContext* rawFormat = nullptr;
    if (const int made = avformat_alloc_output_context2(&rawFormat, nullptr, "matroska", path.c_str());
        made < 0)
        return describe("output context", made);
    const std::unique_ptr<AVFormatContext, OutputCloser> format(rawFormat);

    const AVCodec* codec = avcodec_find_encoder(video.codec);
    if (!codec)
        return "no encoder";
    AVStream* stream = avformat_new_stream(format.get(), nullptr);
    const std::unique_ptr<AVCodecContext, CodecCloser> encoder(avcodec_alloc_context3(codec));
    if (!stream || !encoder)
        return "out of memory";
    encoder->width = video.width;
    encoder->height = video.height;
    encoder->pix_fmt = video.pixelFormat;
    encoder->time_base = AVRational{1, video.framesPerSecond};
    encoder->framerate = AVRational{video.framesPerSecond, 1};
    encoder->gop_size = 5;
    encoder->max_b_frames = 0;
    encoder->bit_rate = 4'000'000;
    if (format->oformat->flags & AVFMT_GLOBALHEADER)
        encoder->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    if (const int opened = avcodec_open2(encoder.get(), codec, nullptr); opened < 0)
        return describe("encoder", opened);
    if (const int copied = avcodec_parameters_from_context(stream->codecpar, encoder.get()); copied < 0)
        return describe("stream parameters", copied);
    stream->time_base = encoder->time_base;
    if (const int opened = avio_open(&format->pb, path.c_str(), AVIO_FLAG_WRITE); opened < 0)
        return describe("file", opened);
    if (const int written = avformat_write_header(format.get(), nullptr); written < 0)
        return describe("header", written);

    const std::unique_ptr<AVPacket, PacketFreer> packet(av_packet_alloc());
    auto drain = [&]() -> std::string {
        for (;;) {
            const int received = avcodec_receive_packet(encoder.get(), packet.get());
            if (received == AVERROR(EAGAIN) || received == AVERROR_EOF)
                return {};
            if (received < 0)
                return describe("encoding", received);
            av_packet_rescale_ts(packet.get(), encoder->time_base, stream->time_base);
            packet->stream_index = stream->index;
            if (const int written = av_interleaved_write_frame(format.get(), packet.get()); written < 0)
                return describe("writing", written);
        }
    };
    for (int index = 0; index < video.frames; ++index) {
        const std::unique_ptr<AVFrame, FrameFreer> frame(av_frame_alloc());
        frame->format = video.pixelFormat;
        frame->width = video.width;
        frame->height = video.height;
        if (const int allocated = av_frame_get_buffer(frame.get(), 0); allocated < 0)
            return describe("frame", allocated);
        fillFlat(frame.get(), index);
        frame->pts = index;
        if (const int sent = avcodec_send_frame(encoder.get(), frame.get()); sent < 0)
            return describe("sending a frame", sent);
        if (std::string failure = drain(); !failure.empty())
            return failure;
    }
    avcodec_send_frame(encoder.get(), nullptr);
    if (std::string failure = drain(); !failure.empty())
        return failure;
    if (const int written = av_write_trailer(format.get()); written < 0)
        return describe("trailer", written);
    return {};
}

}  // namespace vekhost::testing
