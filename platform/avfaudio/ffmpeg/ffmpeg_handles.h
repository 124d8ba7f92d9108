// Owning handles for FFmpeg's C objects, so that every context, packet and
// frame is freed on every path out of a scope. Private to the audio layer.

#ifndef PLIM_PLATFORM_AVFAUDIO_FFMPEG_FFMPEG_HANDLES_H_
#define PLIM_PLATFORM_AVFAUDIO_FFMPEG_FFMPEG_HANDLES_H_

#include <memory>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libswresample/swresample.h>
}

namespace plim::avfaudio {

// Closes a demuxer opened with avformat_open_input. The AVIOContext of a
// demuxer opened over custom I/O is not freed here: its owner frees it.
struct FormatContextDeleter {
  void operator()(AVFormatContext* context) const { avformat_close_input(&context); }
};
using FormatContextPtr = std::unique_ptr<AVFormatContext, FormatContextDeleter>;

struct CodecContextDeleter {
  void operator()(AVCodecContext* context) const { avcodec_free_context(&context); }
};
using CodecContextPtr = std::unique_ptr<AVCodecContext, CodecContextDeleter>;

struct SwrContextDeleter {
  void operator()(SwrContext* context) const { swr_free(&context); }
};
using SwrContextPtr = std::unique_ptr<SwrContext, SwrContextDeleter>;

struct PacketDeleter {
  void operator()(AVPacket* packet) const { av_packet_free(&packet); }
};
using PacketPtr = std::unique_ptr<AVPacket, PacketDeleter>;

struct FrameDeleter {
  void operator()(AVFrame* frame) const { av_frame_free(&frame); }
};
using FramePtr = std::unique_ptr<AVFrame, FrameDeleter>;

// An AVChannelLayout value that uninitialises itself (layouts with a custom
// channel map own memory).
class ChannelLayout {
 public:
  ChannelLayout() = default;
  ~ChannelLayout() { av_channel_layout_uninit(&layout_); }
  ChannelLayout(const ChannelLayout&) = delete;
  ChannelLayout& operator=(const ChannelLayout&) = delete;

  AVChannelLayout* get() { return &layout_; }
  const AVChannelLayout* get() const { return &layout_; }

 private:
  AVChannelLayout layout_{};
};

}  // namespace plim::avfaudio

#endif  // PLIM_PLATFORM_AVFAUDIO_FFMPEG_FFMPEG_HANDLES_H_
