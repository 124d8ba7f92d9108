// The compressed packets of a file's first decodable audio stream, read in
// order through an FFmpeg demuxer. Private to the audio layer.

#ifndef PLIM_PLATFORM_AVFAUDIO_FFMPEG_PACKET_SOURCE_H_
#define PLIM_PLATFORM_AVFAUDIO_FFMPEG_PACKET_SOURCE_H_

#include <cstdint>
#include <exception>
#include <optional>
#include <string_view>
#include <utility>

#include "platform/avfaudio/ffmpeg/ffmpeg_handles.h"
#include "platform/avfaudio/ffmpeg/ffmpeg_io.h"
#include "platform/avfaudio/file_input.h"

namespace plim::avfaudio {

// Two sources over the same file deliver the same packets: the decoding
// reader and the frame counter depend on it. Not thread-safe.
class PacketSource {
 public:
  // Opens a demuxer over `input`, which must outlive this object, and picks
  // the first audio stream that has a decoder. Throws foundation::NSError:
  // kAVAudioFileErrorNotAudioFile when FFmpeg finds no format or no audio
  // stream, kAVAudioFileErrorNoDecodableAudio when no audio stream has a
  // decoder or a usable sample rate and channel count,
  // kAVAudioFileErrorUnreadable on I/O failures.
  explicit PacketSource(const FileInput& input);
  PacketSource(const PacketSource&) = delete;
  PacketSource& operator=(const PacketSource&) = delete;

  const AVStream& stream() const { return *stream_; }
  const AVCodec& codec() const { return *codec_; }
  // FFmpeg's name for the container, e.g. "mp3" or "mov,mp4,m4a,3gp,3g2,mj2".
  std::string_view FormatName() const { return format_->iformat->name; }
  const std::string& path() const { return input_.path(); }
  // The stream's duration in its time base as the container declares it,
  // or nullopt when it declares none or FFmpeg estimated it from the
  // bit rate and the file's size.
  std::optional<std::int64_t> DeclaredDuration() const;

  // Moves the stream's next packet into `packet`. Returns false at the end of
  // the stream. `is_last` is set when no packet follows this one. Packets the
  // demuxer rejects as invalid are passed over, as players do; a run of
  // them ends the stream. Throws foundation::NSError
  // (kAVAudioFileErrorUnreadable) when the file can't be read.
  bool ReadPacket(AVPacket& packet, bool& is_last);

  // The byte offset in the file of the first packet read, or -1 when no
  // packet has been read or the demuxer does not know it.
  std::int64_t first_packet_offset_bytes() const { return first_packet_offset_bytes_; }

 private:
  // Reads the stream's next packet into lookahead_; false at the end.
  bool ReadAhead();
  // Throws kAVAudioFileErrorUnreadable when FFmpeg's `error` came from the
  // file failing to read or from memory running out.
  void ThrowIfUnreadable(int error) const;

  const FileInput& input_;
  // Declared before format_ so that it is freed after the demuxer using it.
  IOContextPtr io_;
  FormatContextPtr format_;
  AVStream* stream_ = nullptr;  // owned by format_
  const AVCodec* codec_ = nullptr;
  // The packet after the one last returned, read early to know which
  // packet is the last.
  PacketPtr lookahead_;
  bool lookahead_full_ = false;
  bool ended_ = false;
  std::exception_ptr deferred_error_;  // thrown when the lookahead is wanted
  std::int64_t first_packet_offset_bytes_ = -1;
};

}  // namespace plim::avfaudio

#endif  // PLIM_PLATFORM_AVFAUDIO_FFMPEG_PACKET_SOURCE_H_
