// A regular file opened read-only by path, read at explicit offsets. Private
// to the audio layer.

#ifndef PLIM_PLATFORM_AVFAUDIO_FILE_INPUT_H_
#define PLIM_PLATFORM_AVFAUDIO_FILE_INPUT_H_

#include <cstddef>
#include <cstdint>
#include <string>

namespace plim::avfaudio {

// The file is opened by its path with open(2), never parsed as a URL, so any
// name (leading '-', ':' anywhere) is safe. Every read names its offset
// (pread), so several readers can share the one descriptor, each keeping its
// own position. The descriptor stays valid while the file is renamed or
// removed. Immutable after construction: may be read from several threads
// at once.
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
  // The open descriptor, owned by this object; for readers that call pread
  // themselves.
  int descriptor() const { return descriptor_; }

  // The file's current size in bytes. Throws foundation::NSError
  // (kAVAudioFileErrorUnreadable) when fstat fails.
  std::int64_t SizeBytes() const;

  // Reads up to `size_bytes` bytes at `offset_bytes` into `data`, retrying
  // short reads, and returns how many were read: fewer only at the end of the
  // file. Throws foundation::NSError (kAVAudioFileErrorUnreadable, with the
  // system's reason) when the operating system refuses.
  std::size_t ReadAt(std::int64_t offset_bytes, void* data, std::size_t size_bytes) const;

 private:
  std::string path_;
  int descriptor_ = -1;
};

}  // namespace plim::avfaudio

#endif  // PLIM_PLATFORM_AVFAUDIO_FILE_INPUT_H_
