// A regular file opened read-only, from which FFmpeg demuxers read through
// AVIOContexts of our own. Private to the audio layer.

#ifndef PLIM_PLATFORM_AVFAUDIO_FILE_INPUT_H_
#define PLIM_PLATFORM_AVFAUDIO_FILE_INPUT_H_

#include <cstdint>
#include <memory>
#include <string>

extern "C" {
#include <libavformat/avio.h>
}

namespace plim::avfaudio {

// Frees an AVIOContext made by FileInput::NewIOContext, with its buffer and
// read cursor.
struct IOContextDeleter {
  void operator()(AVIOContext* context) const;
};
using IOContextPtr = std::unique_ptr<AVIOContext, IOContextDeleter>;

// The errno value of the last read or seek through `context` (made by
// FileInput::NewIOContext) that the operating system refused, or 0. It tells
// a file that can't be read from one FFmpeg does not understand.
int LastSystemError(const AVIOContext& context);

// The file is opened by its path with open(2), never parsed as a URL, so any
// name (leading '-', ':' anywhere) is safe. Every AVIOContext made from it
// keeps its own position and reads with pread, so several demuxers can read
// the one descriptor independently. The descriptor stays valid while the
// file is renamed or removed. Immutable after construction: the contexts may
// be used from different threads, each by one thread at a time.
class FileInput {
 public:
  // Opens the file at the absolute `path`. Throws foundation::NSError with
  // kAVAudioFileErrorFileNotFound, kAVAudioFileErrorIsDirectory,
  // kAVAudioFileErrorPermissionDenied, or kAVAudioFileErrorUnreadable (for
  // instance a FIFO or a device, or another open(2) failure).
  explicit FileInput(std::string path);
  ~FileInput();
  FileInput(const FileInput&) = delete;
  FileInput& operator=(const FileInput&) = delete;

  const std::string& path() const { return path_; }

  // The file's current size in bytes. Throws foundation::NSError
  // (kAVAudioFileErrorUnreadable) when fstat fails.
  std::int64_t SizeBytes() const;

  // A new reader positioned at the start of the file. This FileInput must
  // outlive it. Throws foundation::NSError when memory runs out.
  IOContextPtr NewIOContext() const;

 private:
  std::string path_;
  int descriptor_ = -1;
};

}  // namespace plim::avfaudio

#endif  // PLIM_PLATFORM_AVFAUDIO_FILE_INPUT_H_
