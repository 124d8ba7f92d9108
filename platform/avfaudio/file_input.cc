#include "platform/avfaudio/file_input.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <utility>

#include "platform/avfaudio/av_audio_file.h"
#include "platform/avfaudio/file_error.h"

namespace plim::avfaudio {

FileInput::FileInput(std::string path) : path_(std::move(path)) {
  // O_NONBLOCK keeps a FIFO from blocking the open; it is refused below.
  descriptor_ = open(path_.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (descriptor_ < 0) {
    int error = errno;
    if (error == ENOENT || error == ENOTDIR) throw FileError(kAVAudioFileErrorFileNotFound, path_);
    if (error == EACCES || error == EPERM) {
      throw FileError(kAVAudioFileErrorPermissionDenied, path_);
    }
    if (error == EISDIR) throw FileError(kAVAudioFileErrorIsDirectory, path_);
    throw FileError(kAVAudioFileErrorUnreadable, path_, SystemErrorText(error));
  }
  struct stat status;
  if (fstat(descriptor_, &status) != 0) {
    int error = errno;
    close(descriptor_);
    throw FileError(kAVAudioFileErrorUnreadable, path_, SystemErrorText(error));
  }
  if (S_ISDIR(status.st_mode)) {
    close(descriptor_);
    throw FileError(kAVAudioFileErrorIsDirectory, path_);
  }
  if (!S_ISREG(status.st_mode)) {
    close(descriptor_);
    throw FileError(kAVAudioFileErrorUnreadable, path_, "not a regular file");
  }
}

FileInput::~FileInput() { close(descriptor_); }

std::int64_t FileInput::SizeBytes() const {
  struct stat status;
  if (fstat(descriptor_, &status) != 0) {
    throw FileError(kAVAudioFileErrorUnreadable, path_, SystemErrorText(errno));
  }
  return status.st_size;
}

std::size_t FileInput::ReadAt(std::int64_t offset_bytes, void* data, std::size_t size_bytes) const {
  auto* bytes = static_cast<unsigned char*>(data);
  std::size_t done = 0;
  while (done < size_bytes) {
    ssize_t count = pread(descriptor_, bytes + done, size_bytes - done,
                          static_cast<off_t>(offset_bytes + static_cast<std::int64_t>(done)));
    if (count > 0) {
      done += static_cast<std::size_t>(count);
    } else if (count == 0) {
      break;
    } else if (errno != EINTR) {
      throw FileError(kAVAudioFileErrorUnreadable, path_, SystemErrorText(errno));
    }
  }
  return done;
}

}  // namespace plim::avfaudio
