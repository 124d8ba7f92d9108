// Any bytes as an audio file: opened, counted and read to the end, through
// the WAV reader or FFmpeg (and libvorbisfile). Every input must end in a
// read or in an NSError; the length must be what the reads deliver.

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "platform/avfaudio/av_audio_file.h"
#include "platform/avfaudio/av_audio_pcm_buffer.h"
#include "platform/foundation/ns_error.h"
#include "platform/foundation/url.h"

namespace {

// The input as a file of its own: the audio layer opens files by path.
class MemoryFile {
 public:
  MemoryFile(const std::uint8_t* data, std::size_t size) : fd_(memfd_create("fuzz", 0)) {
    if (fd_ < 0) std::abort();
    for (std::size_t done = 0; done < size;) {
      ssize_t n = write(fd_, data + done, size - done);
      if (n <= 0) std::abort();
      done += static_cast<std::size_t>(n);
    }
  }
  ~MemoryFile() { close(fd_); }
  std::string path() const { return "/proc/self/fd/" + std::to_string(fd_); }

 private:
  int fd_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace plim;
  MemoryFile file(data, size);
  try {
    auto audio =
        avfaudio::AVAudioFile::initForReading(foundation::URL::fileURLWithPath(file.path()));
    const avfaudio::AVAudioFramePosition length = audio->length();
    if (length < 0) std::abort();
    auto buffer = avfaudio::AVAudioPCMBuffer::initWithPCMFormat(audio->processingFormat(), 4096);
    if (!buffer) return 0;  // more channels than memory allows
    std::int64_t frames = 0;
    do {
      audio->readIntoBuffer(*buffer);
      frames += buffer->frameLength();
    } while (buffer->frameLength() == buffer->frameCapacity());
    if (frames != length) std::abort();
  } catch (const foundation::NSError&) {
  }
  return 0;
}
