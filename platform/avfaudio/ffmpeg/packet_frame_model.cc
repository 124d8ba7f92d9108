#include "platform/avfaudio/ffmpeg/packet_frame_model.h"

#include <algorithm>
#include <cstring>
#include <string_view>

extern "C" {
#include <libavutil/intreadwrite.h>
}

namespace plim::avfaudio {
namespace {

bool IsPcm(AVCodecID id) {
  // FFmpeg numbers the plain PCM codecs from 0x10000 up to the ADPCM ones.
  return id >= AV_CODEC_ID_PCM_S16LE && id < AV_CODEC_ID_ADPCM_IMA_QT;
}

bool IsMpegAudio(AVCodecID id) {
  return id == AV_CODEC_ID_MP1 || id == AV_CODEC_ID_MP2 || id == AV_CODEC_ID_MP3;
}

bool IsMov(std::string_view format_name) { return format_name.starts_with("mov,"); }

// The skip side data FFmpeg attaches to packets: frames to drop from the
// start of the packet's output, then frames to drop from its end.
constexpr size_t kSkipSideDataBytes = 10;

}  // namespace

std::optional<std::int64_t> ExactFrames(std::int64_t duration, AVRational time_base,
                                        int sample_rate_hz) {
  if (duration <= 0 || time_base.num <= 0 || time_base.den <= 0 || sample_rate_hz <= 0) {
    return std::nullopt;
  }
  std::int64_t scaled;
  if (__builtin_mul_overflow(duration, static_cast<std::int64_t>(time_base.num), &scaled) ||
      __builtin_mul_overflow(scaled, static_cast<std::int64_t>(sample_rate_hz), &scaled) ||
      scaled % time_base.den != 0) {
    return std::nullopt;
  }
  return scaled / time_base.den;
}

bool EndsAtDeclaredDuration(const PacketSource& source) {
  return IsMov(source.FormatName()) && source.stream().codecpar->codec_id == AV_CODEC_ID_AAC;
}

PacketFrameModel::PacketFrameModel(Kind kind, const AVStream& stream, int sample_rate_hz)
    : kind_(kind),
      time_base_(stream.time_base),
      sample_rate_hz_(sample_rate_hz),
      stream_frames_(ExactFrames(stream.duration, stream.time_base, sample_rate_hz)) {}

std::optional<PacketFrameModel> PacketFrameModel::ForStream(const PacketSource& source,
                                                            int sample_rate_hz) {
  const std::string_view format = source.FormatName();
  const AVStream& stream = source.stream();
  const AVCodecParameters& parameters = *stream.codecpar;
  const AVCodecID id = parameters.codec_id;
  // Only pairs whose counts the tests compare with decoding are listed.
  bool by_durations =
      (format == "mp3" && IsMpegAudio(id)) || (format == "flac" && id == AV_CODEC_ID_FLAC) ||
      (format == "ogg" && id == AV_CODEC_ID_OPUS) || (format == "aac" && id == AV_CODEC_ID_AAC) ||
      ((format == "wav" || format == "aiff" || format == "w64") && IsPcm(id));
  if (by_durations) return PacketFrameModel(Kind::kPacketDurations, stream, sample_rate_hz);

  if (format == "ogg" && id == AV_CODEC_ID_VORBIS && parameters.sample_rate == sample_rate_hz) {
    PacketFrameModel model(Kind::kVorbisInOgg, stream, sample_rate_hz);
    model.vorbis_parser_.reset(
        av_vorbis_parse_init(parameters.extradata, parameters.extradata_size));
    if (!model.vorbis_parser_) return std::nullopt;
    return model;
  }
  // The frame size is the decoder's, so it must be at the rate delivered.
  if (EndsAtDeclaredDuration(source) && parameters.frame_size > 0 &&
      parameters.sample_rate == sample_rate_hz) {
    PacketFrameModel model(Kind::kFullFramesToDeclaredEnd, stream, sample_rate_hz);
    model.frame_size_ = parameters.frame_size;
    return model;
  }
  return std::nullopt;
}

std::optional<std::int64_t> PacketFrameModel::FramesFor(AVPacket& packet, bool is_last) {
  std::optional<std::int64_t> declared = ExactFrames(packet.duration, time_base_, sample_rate_hz_);
  std::int64_t frames = 0;
  switch (kind_) {
    case Kind::kPacketDurations:
      if (!declared || *declared > kMostFramesInOnePacket) return std::nullopt;
      frames = *declared;
      break;
    case Kind::kVorbisInOgg: {
      int flags = 0;
      int block_frames =
          av_vorbis_parse_frame_flags(vorbis_parser_.get(), packet.data, packet.size, &flags);
      // Header packets mid-stream (a chained file) need a new parser.
      if (block_frames < 0 || (flags & VORBIS_FLAG_HEADER) != 0) return std::nullopt;
      frames = first_packet_ ? 0 : block_frames;
      if (is_last) CorrectVorbisEnd(packet, frames);
      break;
    }
    case Kind::kFullFramesToDeclaredEnd:
      // A packet of another length means the container's timing is not the
      // decoder's frame grid; only decoding can count such a stream.
      if (!declared || (!is_last && *declared != frame_size_)) return std::nullopt;
      frames = frame_size_;
      break;
  }
  first_packet_ = false;

  // What libavcodec does with the skip side data and the discard flag.
  std::int64_t discard_padding = 0;
  size_t side_size = 0;
  const std::uint8_t* side = av_packet_get_side_data(&packet, AV_PKT_DATA_SKIP_SAMPLES, &side_size);
  if (side != nullptr && side_size >= kSkipSideDataBytes) {
    skip_frames_ = AV_RL32(side);
    discard_padding = AV_RL32(side + 4);
  }
  if (packet.flags & AV_PKT_FLAG_DISCARD) {
    skip_frames_ = std::max<std::int64_t>(0, skip_frames_ - frames);
    return 0;
  }
  if (skip_frames_ > 0) {
    std::int64_t skipped = std::min(frames, skip_frames_);
    frames -= skipped;
    skip_frames_ -= skipped;
  }
  if (discard_padding > 0 && discard_padding <= frames) frames -= discard_padding;
  if (kind_ == Kind::kFullFramesToDeclaredEnd && is_last) frames = std::min(frames, *declared);
  total_frames_ += frames;
  return frames;
}

void PacketFrameModel::CorrectVorbisEnd(AVPacket& packet, std::int64_t frames) const {
  if (!stream_frames_) return;
  size_t side_size = 0;
  std::uint8_t* side = av_packet_get_side_data(&packet, AV_PKT_DATA_SKIP_SAMPLES, &side_size);
  std::int64_t skip = skip_frames_;
  if (side != nullptr && side_size >= kSkipSideDataBytes) skip = AV_RL32(side);
  const std::int64_t after_skip = std::max<std::int64_t>(0, frames - skip);
  const std::int64_t padding = total_frames_ + after_skip - *stream_frames_;
  // Outside this range the granule does not describe this stream's end (a
  // chained or damaged file); FFmpeg's own trim is left alone.
  if (padding < 0 || padding > after_skip) return;
  if (side == nullptr || side_size < kSkipSideDataBytes) {
    side = av_packet_new_side_data(&packet, AV_PKT_DATA_SKIP_SAMPLES, kSkipSideDataBytes);
    if (side == nullptr) return;
    std::memset(side, 0, kSkipSideDataBytes);
  }
  AV_WL32(side + 4, static_cast<std::uint32_t>(padding));
}

}  // namespace plim::avfaudio
