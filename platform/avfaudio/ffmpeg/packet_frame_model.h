// How many frames FFmpeg's decoder delivers for each packet of a stream,
// worked out from the packets alone. Private to the audio layer.

#ifndef PLIM_PLATFORM_AVFAUDIO_FFMPEG_PACKET_FRAME_MODEL_H_
#define PLIM_PLATFORM_AVFAUDIO_FFMPEG_PACKET_FRAME_MODEL_H_

#include <cstdint>
#include <memory>
#include <optional>

#include "platform/avfaudio/ffmpeg/packet_source.h"

extern "C" {
#include <libavcodec/vorbis_parser.h>
}

namespace plim::avfaudio {

// The most frames one packet of any codec read here decodes to (FLAC's
// largest block is 65535). A packet said to span more is damaged: its
// duration is not trusted, and if it fails to decode it stands for at most
// this much silence, never hours of it.
inline constexpr std::int64_t kMostFramesInOnePacket = std::int64_t{1} << 16;

// The number of frames `duration` (in `time_base` units) spans at
// `sample_rate_hz`, when that is a whole number; otherwise nullopt.
std::optional<std::int64_t> ExactFrames(std::int64_t duration, AVRational time_base,
                                        int sample_rate_hz);

// Counting a file's frames from its packets costs a small fraction of
// decoding it, but is exact only where the decoder's output per packet is
// known: ForStream offers a model only for those pairs of container and
// codec, and the rest are counted by decoding. Fed every packet in order,
// FramesFor gives each one's output as StreamDecoder delivers it, after
// the trimming FFmpeg applies from the packets' skip side data and discard
// flag, and with the decoder's own rules (a damaged packet stands for
// silence of its length; AAC in MP4 ends at its declared duration).
//
// For Vorbis in Ogg it also corrects the packets: FFmpeg 5.1 trims the last
// packet of some streams too far (by the first packet's length), losing the
// end of the recording, so the final trim is recomputed from the stream's
// last granule position. Move-only; not thread-safe.
class PacketFrameModel {
 public:
  // The model for `source`'s stream decoded at `sample_rate_hz`, or nullopt
  // when its frames can only be counted by decoding.
  static std::optional<PacketFrameModel> ForStream(const PacketSource& source, int sample_rate_hz);

  // The frames delivered for `packet`, the stream's next packet (`is_last`
  // when none follows), after correcting its trim side data in place; or
  // nullopt when the model can't tell, after which it is of no further use.
  std::optional<std::int64_t> FramesFor(AVPacket& packet, bool is_last);

 private:
  enum class Kind {
    // Each packet's duration is what the decoder makes of it before trimming.
    kPacketDurations,
    // Vorbis: the decoder makes a quarter of the previous and current block
    // sizes, and nothing of the first packet, which only primes the overlap.
    kVorbisInOgg,
    // AAC in MP4: every packet decodes to a full frame; the decoder cuts the
    // last one to its declared duration.
    kFullFramesToDeclaredEnd,
  };
  struct VorbisParserDeleter {
    void operator()(AVVorbisParseContext* parser) const { av_vorbis_parse_free(&parser); }
  };

  PacketFrameModel(Kind kind, const AVStream& stream, int sample_rate_hz);

  // Sets the discard padding of the last Vorbis packet, whose untrimmed
  // output is `frames`, so that the stream ends at its last granule.
  void CorrectVorbisEnd(AVPacket& packet, std::int64_t frames) const;

  Kind kind_;
  AVRational time_base_;
  int sample_rate_hz_;
  int frame_size_ = 0;                         // frames per packet, for kFullFramesToDeclaredEnd
  std::optional<std::int64_t> stream_frames_;  // the container's declared length
  std::unique_ptr<AVVorbisParseContext, VorbisParserDeleter> vorbis_parser_;
  bool first_packet_ = true;
  std::int64_t skip_frames_ = 0;   // start trim still to apply, as the decoder keeps it
  std::int64_t total_frames_ = 0;  // delivered for the packets so far
};

// True for streams whose last packet the decoder cuts to its declared
// duration: AAC in MP4, where it holds encoder padding beyond the end.
bool EndsAtDeclaredDuration(const PacketSource& source);

}  // namespace plim::avfaudio

#endif  // PLIM_PLATFORM_AVFAUDIO_FFMPEG_PACKET_FRAME_MODEL_H_
