#include "audio/make_signature.h"

#include <limits>

#include "driver/run_error.h"
#include "platform/avfaudio/av_audio_file.h"
#include "platform/foundation/quoted_text.h"
#include "platform/foundation/url.h"
#include "platform/shazamkit/sh_signature_generator.h"

namespace plim {

shazamkit::SHSignature makeSignature(const std::string& path) {
  foundation::URL url = foundation::URL::fileURLWithPath(path);
  std::unique_ptr<avfaudio::AVAudioFile> file = avfaudio::AVAudioFile::initForReading(url);

  avfaudio::AVAudioFramePosition length = file->length();
  // One buffer holds at most 2^32 - 1 frames; a longer file would be read
  // short and its end silently lost, so it is refused instead.
  if (length < 0 || length > std::numeric_limits<avfaudio::AVAudioFrameCount>::max()) {
    throw foundation::NSError(avfaudio::kAVFAudioErrorDomain, avfaudio::kAVFAudioErrorTooLong,
                              "The file " + foundation::QuotedText(url.path()) +
                                  " is too long to read at once: " + std::to_string(length) +
                                  " frames, at most 4294967295");
  }
  auto capacity = static_cast<avfaudio::AVAudioFrameCount>(length);

  std::unique_ptr<avfaudio::AVAudioPCMBuffer> buffer =
      avfaudio::AVAudioPCMBuffer::initWithPCMFormat(file->processingFormat(), capacity);
  if (!buffer) throw RunError::bufferAllocation();
  file->readIntoBuffer(*buffer);

  shazamkit::SHSignatureGenerator generator;
  generator.appendBuffer(*buffer);
  return generator.signature();
}

}  // namespace plim
