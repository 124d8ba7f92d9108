#include "tools/plim-catalog/audio_file_signature.h"

#include <algorithm>
#include <memory>
#include <new>

#include "platform/avfaudio/av_audio_file.h"
#include "platform/catalog/content_hasher.h"
#include "platform/foundation/ns_error.h"
#include "platform/foundation/quoted_text.h"
#include "platform/foundation/url.h"
#include "platform/shazamkit/sh_signature_generator.h"

namespace plim {
namespace {

// Long enough that per-chunk costs vanish, short enough that a worker's
// buffer stays around a megabyte whatever the file's length.
constexpr double kChunkDurationS = 2.0;

}  // namespace

AudioFileSignature SignAudioFile(const std::string& path, ContentHash content_hash) {
  std::unique_ptr<avfaudio::AVAudioFile> file =
      avfaudio::AVAudioFile::initForReading(foundation::URL::fileURLWithPath(path));
  const avfaudio::AVAudioFormat format = file->processingFormat();
  auto capacity = static_cast<avfaudio::AVAudioFrameCount>(
      std::max(1.0, std::min(format.sampleRate() * kChunkDurationS, 1e7)));
  std::unique_ptr<avfaudio::AVAudioPCMBuffer> buffer =
      avfaudio::AVAudioPCMBuffer::initWithPCMFormat(format, capacity);
  if (buffer == nullptr) throw std::bad_alloc();
  shazamkit::SHSignatureGenerator generator;
  catalog::ContentHasher hasher(format.sampleRate());
  std::int64_t frames = 0;
  for (;;) {
    file->readIntoBuffer(*buffer);
    if (buffer->frameLength() == 0) break;
    generator.appendBuffer(*buffer);
    if (content_hash == ContentHash::kCompute)
      hasher.Append(buffer->floatChannelData(), format.channelCount(), buffer->frameLength());
    frames += buffer->frameLength();
  }
  if (frames == 0) {
    throw foundation::NSError(avfaudio::kAVFAudioErrorDomain,
                              avfaudio::kAVAudioFileErrorNoDecodableAudio,
                              "The file " + foundation::QuotedText(path) + " holds no audio.");
  }
  AudioFileSignature result;
  result.signature = generator.signature();
  if (content_hash == ContentHash::kCompute) result.content_hash = hasher.HexDigest();
  result.duration_s = static_cast<double>(frames) / format.sampleRate();
  if (std::optional<avfaudio::AVAudioFramePosition> declared = file->declaredLength())
    result.declared_duration_s = static_cast<double>(*declared) / format.sampleRate();
  return result;
}

}  // namespace plim
