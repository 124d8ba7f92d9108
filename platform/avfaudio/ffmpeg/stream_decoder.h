// Decodes a file's audio stream into deinterleaved 32-bit float frames at the
// sample rate and channel count it starts with. Private to the audio layer.

#ifndef PLIM_PLATFORM_AVFAUDIO_FFMPEG_STREAM_DECODER_H_
#define PLIM_PLATFORM_AVFAUDIO_FFMPEG_STREAM_DECODER_H_

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "platform/avfaudio/av_audio_format.h"
#include "platform/avfaudio/ffmpeg/ffmpeg_handles.h"
#include "platform/avfaudio/ffmpeg/packet_frame_model.h"
#include "platform/avfaudio/ffmpeg/packet_source.h"

namespace plim::avfaudio {

// What it delivers, frame for frame, is what FFmpeg's decoder makes of the
// stream after the container's trimming, with three rules of its own:
//  - a packet that fails to decode is replaced by silence of its length, so
//    what follows keeps its time, but never by more than the stream's
//    largest packet holds (kMostFramesInOnePacket before any decoded);
//  - frames in another sample rate or channel layout (a stream that changes
//    mid-way) are converted back to format();
//  - AAC in MP4 ends at the declared duration of its last packet.
// Decoded frames are converted straight into the caller's planes; nothing
// else holds a copy of the audio. Not thread-safe; separate instances are
// independent.
class StreamDecoder {
 public:
  // Opens the decoder for `source`'s stream and decodes ahead to the first
  // frame. Throws foundation::NSError: kAVAudioFileErrorNoDecodableAudio when
  // the stream has packets and none of them decodes, or the decoder can't be
  // opened; kAVAudioFileErrorUnreadable when the file can't be read.
  explicit StreamDecoder(std::unique_ptr<PacketSource> source);
  ~StreamDecoder();
  StreamDecoder(const StreamDecoder&) = delete;
  StreamDecoder& operator=(const StreamDecoder&) = delete;

  const PacketSource& source() const { return *source_; }
  const AVAudioFormat& format() const { return format_; }

  // Frames delivered so far.
  std::int64_t position_frames() const { return position_frames_; }
  // True once a Read has met the end of the stream: position_frames() is
  // then the stream's length.
  bool finished() const { return finished_; }

  // Writes up to `capacity_frames` frames from position_frames() on into
  // `planes`, one array per channel of format(), each with room for
  // `capacity_frames` floats. Returns the number written, which is less than
  // `capacity_frames` only at the end of the stream. Throws
  // foundation::NSError (kAVAudioFileErrorUnreadable) when the file can't be
  // read.
  std::int64_t Read(float* const* planes, std::int64_t capacity_frames);

  // Fixes the stream's length at `total_frames` (or position_frames(), if
  // later), counted separately: no frame past it is delivered, and if
  // decoding ends before it the rest is silence.
  void SetTotalFrames(std::int64_t total_frames);

 private:
  // Makes the next frame, or silence standing for a damaged packet,
  // available. False at the end of the stream.
  bool Refill();
  // Reads and sends the next packet, or at the end starts the decoder's
  // draining.
  void SendNextPacket();
  // Pads the rest of the current packet's expected length with silence.
  void ConcealCurrentPacket();
  // Delivers what the current frame (or the resampler) holds into
  // planes[c][offset...], at most `space_frames`. Returns the frames written.
  std::int64_t Convert(float* const* planes, std::int64_t offset, std::int64_t space_frames);
  // Converts the rest of the current frame, which is in format(), without
  // resampling.
  std::int64_t ConvertDirect(float* const* planes, std::int64_t offset, std::int64_t frames);
  // Drains the resampler; at the end (or before a change of format) it is
  // flushed, with `flush`, and then freed, any shortfall against its input's
  // duration becoming pending silence.
  std::int64_t DrainResampler(float* const* planes, std::int64_t offset, std::int64_t space_frames,
                              bool flush);
  void ConfigureResampler();
  // Frames the resampler may still deliver: its input's duration at
  // format()'s rate, less what it has delivered.
  std::int64_t ResamplerAllowance() const;
  std::int64_t WriteSilence(float* const* planes, std::int64_t offset, std::int64_t space_frames);
  void SetOutputPointers(float* const* planes, std::int64_t offset);
  void SetInputPointers();
  // Throws kAVAudioFileErrorUnreadable for FFmpeg's `error`; running out of
  // memory there means sizes in the file that can't be right.
  [[noreturn]] void ThrowUnreadable(int error) const;

  std::unique_ptr<PacketSource> source_;
  CodecContextPtr codec_;
  PacketPtr packet_;
  FramePtr frame_;
  AVAudioFormat format_;
  int sample_rate_hz_;
  int channel_count_;
  ChannelLayout layout_;  // of format(), for the resampler's output

  // Expected output per packet, for concealment; dropped once it can't tell.
  std::optional<PacketFrameModel> model_;
  bool ends_at_declared_duration_;
  bool is_mpeg_audio_;

  // The current packet: how many frames it should give, how many it has
  // given, and, for the last packet of AAC in MP4, how many it may give.
  std::int64_t packet_expected_frames_ = 0;
  std::int64_t packet_frames_ = 0;
  bool packet_failed_ = false;
  std::optional<std::int64_t> packet_budget_frames_;
  // For MPEG audio, the current packet's rate from its header.
  std::optional<int> packet_sample_rate_hz_;
  // The most frames a packet has decoded to, bounding concealment.
  std::int64_t largest_packet_frames_ = 0;
  std::int64_t packets_sent_ = 0;
  std::int64_t packets_failed_ = 0;
  bool input_ended_ = false;

  // The current frame: frames [frame_offset_, frame_end_) are not delivered yet.
  int frame_offset_ = 0;
  int frame_end_ = 0;
  std::int64_t pending_silence_frames_ = 0;

  // Sample-format conversion for frames already at format()'s rate and
  // channels, keyed by the input sample format.
  SwrContextPtr converter_;
  int converter_input_format_ = -1;
  // Resampling for frames in another rate or layout.
  SwrContextPtr resampler_;
  int resampler_input_format_ = -1;
  int resampler_input_rate_hz_ = 0;
  ChannelLayout resampler_input_layout_;
  bool resampler_may_hold_output_ = false;
  std::int64_t resampler_input_frames_ = 0;  // since it was configured
  std::int64_t resampler_output_frames_ = 0;

  std::vector<std::uint8_t*> output_pointers_;
  std::vector<const std::uint8_t*> input_pointers_;

  std::int64_t position_frames_ = 0;
  std::optional<std::int64_t> total_frames_;
  bool finished_ = false;
};

}  // namespace plim::avfaudio

#endif  // PLIM_PLATFORM_AVFAUDIO_FFMPEG_STREAM_DECODER_H_
