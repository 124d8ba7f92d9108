#include "platform/avfaudio/av_audio_file.h"

#include <utility>

#include "platform/avfaudio/audio_decoder.h"
#include "platform/avfaudio/ffmpeg_module.h"
#include "platform/avfaudio/file_error.h"
#include "platform/avfaudio/file_input.h"
#include "platform/avfaudio/wav_decoder.h"

namespace plim::avfaudio {

struct AVAudioFile::Reader {
  explicit Reader(const std::string& path) : input(path), decoder(WavDecoder::Open(input)) {
    if (!decoder) decoder = OpenFfmpegDecoder(input);
  }

  FileInput input;  // declared first, so that it outlives the decoder
  std::unique_ptr<AudioDecoder> decoder;
};

std::unique_ptr<AVAudioFile> AVAudioFile::initForReading(const foundation::URL& url) {
  return std::unique_ptr<AVAudioFile>(new AVAudioFile(std::make_unique<Reader>(url.path())));
}

AVAudioFile::AVAudioFile(std::unique_ptr<Reader> reader) : reader_(std::move(reader)) {}

AVAudioFile::~AVAudioFile() = default;

AVAudioFramePosition AVAudioFile::length() { return reader_->decoder->LengthFrames(); }

std::optional<AVAudioFramePosition> AVAudioFile::declaredLength() const {
  return reader_->decoder->DeclaredLengthFrames();
}

const AVAudioFormat& AVAudioFile::processingFormat() const { return reader_->decoder->format(); }

AVAudioFramePosition AVAudioFile::framePosition() const {
  return reader_->decoder->position_frames();
}

void AVAudioFile::readIntoBuffer(AVAudioPCMBuffer& buffer) {
  AudioDecoder& decoder = *reader_->decoder;
  if (!(buffer.format() == decoder.format())) {
    throw FileError(kAVAudioFileErrorUnreadable, reader_->input.path(),
                    "the buffer is not in the file's processing format");
  }
  buffer.setFrameLength(0);
  std::int64_t frames = decoder.Read(buffer.floatChannelData(), buffer.frameCapacity());
  buffer.setFrameLength(static_cast<AVAudioFrameCount>(frames));
}

}  // namespace plim::avfaudio
