#include "platform/avfaudio/av_audio_file.h"

#include <algorithm>
#include <optional>
#include <utility>

#include "platform/avfaudio/file_error.h"
#include "platform/avfaudio/file_input.h"
#include "platform/avfaudio/frame_count.h"
#include "platform/avfaudio/stream_decoder.h"

namespace plim::avfaudio {

struct AVAudioFile::Decoder {
  explicit Decoder(const std::string& path)
      : input(path), reader(std::make_unique<PacketSource>(input)) {}

  FileInput input;  // declared first, so that it outlives the reader
  StreamDecoder reader;
  std::optional<AVAudioFramePosition> length_frames;  // once known
};

std::unique_ptr<AVAudioFile> AVAudioFile::initForReading(const foundation::URL& url) {
  return std::unique_ptr<AVAudioFile>(new AVAudioFile(std::make_unique<Decoder>(url.path())));
}

AVAudioFile::AVAudioFile(std::unique_ptr<Decoder> decoder) : decoder_(std::move(decoder)) {}

AVAudioFile::~AVAudioFile() = default;

AVAudioFramePosition AVAudioFile::length() {
  Decoder& d = *decoder_;
  if (!d.length_frames) {
    if (d.reader.finished()) {
      d.length_frames = d.reader.position_frames();
    } else {
      // The count comes from a separate pass over the file; holding the
      // reader to it makes the two agree even where the pass can't see
      // what decoding will find.
      d.length_frames = CountFrames(d.input, d.reader);
      d.reader.SetTotalFrames(*d.length_frames);
      d.length_frames = std::max(*d.length_frames, d.reader.position_frames());
    }
  }
  return *d.length_frames;
}

const AVAudioFormat& AVAudioFile::processingFormat() const { return decoder_->reader.format(); }

AVAudioFramePosition AVAudioFile::framePosition() const {
  return decoder_->reader.position_frames();
}

void AVAudioFile::readIntoBuffer(AVAudioPCMBuffer& buffer) {
  Decoder& d = *decoder_;
  if (!(buffer.format() == d.reader.format())) {
    throw FileError(kAVAudioFileErrorUnreadable, d.input.path(),
                    "the buffer is not in the file's processing format");
  }
  buffer.setFrameLength(0);
  std::int64_t frames = d.reader.Read(buffer.floatChannelData(), buffer.frameCapacity());
  buffer.setFrameLength(static_cast<AVAudioFrameCount>(frames));
  if (d.reader.finished() && !d.length_frames) d.length_frames = d.reader.position_frames();
}

}  // namespace plim::avfaudio
