// The FFmpeg module's entry point: an AudioDecoder over StreamDecoder.

#include <algorithm>
#include <memory>
#include <optional>
#include <type_traits>

#include "platform/avfaudio/audio_decoder.h"
#include "platform/avfaudio/av_audio_file.h"
#include "platform/avfaudio/ffmpeg/frame_count.h"
#include "platform/avfaudio/ffmpeg/packet_source.h"
#include "platform/avfaudio/ffmpeg/stream_decoder.h"
#include "platform/avfaudio/ffmpeg/vorbis_file_decoder.h"
#include "platform/avfaudio/ffmpeg_module.h"
#include "platform/avfaudio/file_input.h"
#include "platform/foundation/ns_error.h"

namespace plim::avfaudio {
namespace {

class FfmpegDecoder : public AudioDecoder {
 public:
  explicit FfmpegDecoder(const FileInput& input)
      : input_(input), reader_(std::make_unique<PacketSource>(input)) {}

  const AVAudioFormat& format() const override { return reader_.format(); }
  std::int64_t position_frames() const override { return reader_.position_frames(); }

  std::int64_t LengthFrames() override {
    if (!length_frames_) {
      if (reader_.finished()) {
        length_frames_ = reader_.position_frames();
      } else {
        // The count comes from a separate pass over the file; holding the
        // reader to it makes the two agree even where the pass can't see
        // what decoding will find.
        length_frames_ = CountFrames(input_, reader_);
        reader_.SetTotalFrames(*length_frames_);
        length_frames_ = std::max(*length_frames_, reader_.position_frames());
      }
    }
    return *length_frames_;
  }

  std::optional<std::int64_t> DeclaredLengthFrames() const override {
    std::optional<std::int64_t> duration = reader_.source().DeclaredDuration();
    if (!duration) return std::nullopt;
    return av_rescale_q(*duration, reader_.source().stream().time_base,
                        AVRational{1, static_cast<int>(reader_.format().sampleRate())});
  }

  std::int64_t Read(float* const* planes, std::int64_t capacity_frames) override {
    std::int64_t frames = reader_.Read(planes, capacity_frames);
    if (reader_.finished() && !length_frames_) length_frames_ = reader_.position_frames();
    return frames;
  }

 private:
  const FileInput& input_;
  StreamDecoder reader_;
  std::optional<std::int64_t> length_frames_;  // once known
};

}  // namespace
}  // namespace plim::avfaudio

// Everything else in the module is hidden; the loader finds this by name.
extern "C" __attribute__((visibility("default"))) plim::avfaudio::AudioDecoder*
PlimAvfaudioOpenFfmpegDecoder(const plim::avfaudio::FileInput& input) {
  namespace avfaudio = plim::avfaudio;
  try {
    return new avfaudio::FfmpegDecoder(input);
  } catch (const plim::foundation::NSError& error) {
    // FFmpeg refuses a whole Ogg Vorbis file whose headers repeat; such a
    // file is read through libvorbisfile, and otherwise FFmpeg's verdict stands.
    if (error.code() != avfaudio::kAVAudioFileErrorNotAudioFile &&
        error.code() != avfaudio::kAVAudioFileErrorNoDecodableAudio) {
      throw;
    }
    if (!avfaudio::LooksLikeOggVorbis(input)) throw;
    std::unique_ptr<avfaudio::VorbisFileDecoder> decoder =
        avfaudio::VorbisFileDecoder::TryOpen(input);
    if (!decoder) throw;
    return decoder.release();
  }
}

static_assert(
    std::is_same_v<decltype(&PlimAvfaudioOpenFfmpegDecoder), plim::avfaudio::FfmpegModuleEntry>);
