#include "platform/avfaudio/ffmpeg/packet_source.h"

#include <mutex>

#include "platform/avfaudio/av_audio_file.h"
#include "platform/avfaudio/ffmpeg/tag_bounds.h"
#include "platform/avfaudio/file_error.h"

extern "C" {
#include <libavutil/log.h>
#include <libavutil/mem.h>
}

namespace plim::avfaudio {
namespace {

// No block FFmpeg needs for audio comes near this (a day of AAC indexes in
// 17 MB); larger ones are sizes a damaged file declares, such as a tag of
// 600 MB in a WAV's LIST chunk, which FFmpeg would allocate and zero before
// reading the few bytes there are. Refused, they fail as running out of
// memory, which is reported as damage.
constexpr std::size_t kLargestFfmpegBlockBytes = std::size_t{64} << 20;

// Settings for the whole process, made once: library code never prints,
// and FFmpeg would otherwise log to standard error.
void ConfigureFfmpeg() {
  static std::once_flag once;
  std::call_once(once, [] {
    av_log_set_level(AV_LOG_QUIET);
    av_max_alloc(kLargestFfmpegBlockBytes);
  });
}

// Playlists, concatenation lists and image sequences ask to open further
// files by names taken from the file's contents; an audio file reader
// follows none of them.
int RefuseNestedOpen(AVFormatContext*, AVIOContext**, const char*, int, AVDictionary**) {
  return AVERROR_PROTOCOL_NOT_FOUND;
}

// After this many invalid packets in a row the rest of the file is taken
// to be unreadable rather than damaged in places.
constexpr int kMaxInvalidPacketsInARow = 64;

}  // namespace

PacketSource::PacketSource(const FileInput& input) : input_(input) {
  ConfigureFfmpeg();
  const std::string& path = input.path();
  // FFmpeg reads tags before anything can stop it, in time that grows with
  // their square.
  RefuseUnboundedTags(input);
  io_ = NewIOContext(input);
  AVFormatContext* context = avformat_alloc_context();
  if (context == nullptr) throw FileError(kAVAudioFileErrorUnreadable, path, "out of memory");
  context->pb = io_.get();
  context->io_open = RefuseNestedOpen;
  // The path only helps FFmpeg guess the format from its extension; it is
  // never opened by name, since the AVIOContext is ours.
  int error = avformat_open_input(&context, path.c_str(), nullptr, nullptr);
  if (error < 0) {
    // avformat_open_input has freed the context. Whatever FFmpeg says, a
    // file it could read but not open is not media it knows.
    ThrowIfUnreadable(error);
    throw FileError(kAVAudioFileErrorNotAudioFile, path);
  }
  format_.reset(context);

  // A failure here still leaves the streams found so far; a stream without
  // parameters is refused below.
  error = avformat_find_stream_info(context, nullptr);
  if (error < 0) ThrowIfUnreadable(error);

  bool has_audio = false;
  for (unsigned i = 0; i < context->nb_streams; ++i) {
    AVStream* stream = context->streams[i];
    if (stream->codecpar->codec_type != AVMEDIA_TYPE_AUDIO) continue;
    has_audio = true;
    const AVCodec* codec = avcodec_find_decoder(stream->codecpar->codec_id);
    if (codec == nullptr || stream->codecpar->sample_rate <= 0 ||
        stream->codecpar->ch_layout.nb_channels <= 0) {
      continue;
    }
    stream_ = stream;
    codec_ = codec;
    break;
  }
  if (!has_audio) throw FileError(kAVAudioFileErrorNotAudioFile, path);
  if (stream_ == nullptr) throw FileError(kAVAudioFileErrorNoDecodableAudio, path);
  if (const int channels = stream_->codecpar->ch_layout.nb_channels; channels > kMostChannels) {
    throw FileError(kAVAudioFileErrorUnreadable, path, TooManyChannelsReason(channels));
  }
  // Other streams (video, subtitles) are not even parsed.
  for (unsigned i = 0; i < context->nb_streams; ++i) {
    if (context->streams[i] != stream_) context->streams[i]->discard = AVDISCARD_ALL;
  }

  lookahead_.reset(av_packet_alloc());
  if (!lookahead_) throw FileError(kAVAudioFileErrorUnreadable, path, "out of memory");
}

bool PacketSource::ReadPacket(AVPacket& packet, bool& is_last) {
  av_packet_unref(&packet);
  if (!lookahead_full_ && !ended_) lookahead_full_ = ReadAhead();
  if (!lookahead_full_) {
    if (deferred_error_) std::rethrow_exception(std::exchange(deferred_error_, nullptr));
    return false;
  }
  av_packet_move_ref(&packet, lookahead_.get());
  lookahead_full_ = false;
  if (first_packet_offset_bytes_ < 0) first_packet_offset_bytes_ = packet.pos;
  // An error while looking ahead belongs to the next call: this packet is
  // good and is delivered first.
  try {
    lookahead_full_ = ReadAhead();
  } catch (...) {
    deferred_error_ = std::current_exception();
    lookahead_full_ = false;
  }
  is_last = !lookahead_full_ && !deferred_error_;
  return true;
}

bool PacketSource::ReadAhead() {
  int invalid_in_a_row = 0;
  while (!ended_) {
    int error = av_read_frame(format_.get(), lookahead_.get());
    if (error >= 0) {
      if (lookahead_->stream_index == stream_->index) return true;
      av_packet_unref(lookahead_.get());
      continue;
    }
    if (error == AVERROR(EAGAIN)) continue;
    if (error == AVERROR_INVALIDDATA && ++invalid_in_a_row < kMaxInvalidPacketsInARow) continue;
    ended_ = true;
    // A truncated or damaged tail ends the stream like the end of the file;
    // the operating system failing to read does not.
    ThrowIfUnreadable(error);
  }
  return false;
}

void PacketSource::ThrowIfUnreadable(int error) const {
  if (int system_error = LastSystemError(*io_); system_error != 0) {
    throw FileError(kAVAudioFileErrorUnreadable, input_.path(), SystemErrorText(system_error));
  }
  if (error == AVERROR(ENOMEM))
    throw FileError(kAVAudioFileErrorUnreadable, input_.path(), kDamagedReason);
}

std::optional<std::int64_t> PacketSource::DeclaredDuration() const {
  if (stream_->duration == AV_NOPTS_VALUE || stream_->duration <= 0 ||
      format_->duration_estimation_method == AVFMT_DURATION_FROM_BITRATE) {
    return std::nullopt;
  }
  return stream_->duration;
}

}  // namespace plim::avfaudio
