#include "platform/avfaudio/file_input.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <new>

#include "platform/avfaudio/av_audio_file.h"
#include "platform/avfaudio/file_error.h"

extern "C" {
#include <libavutil/error.h>
#include <libavutil/mem.h>
}

namespace plim::avfaudio {
namespace {

// Large enough that FFmpeg's probing and packet reads take few system calls.
constexpr int kIOBufferBytes = 64 * 1024;

struct ReadCursor {
  int descriptor;
  std::int64_t position_bytes;
  int system_error;  // the last errno from the file, or 0
};

int ReadPacket(void* opaque, std::uint8_t* data, int size) {
  auto* cursor = static_cast<ReadCursor*>(opaque);
  while (true) {
    ssize_t count = pread(cursor->descriptor, data, static_cast<size_t>(size),
                          static_cast<off_t>(cursor->position_bytes));
    if (count > 0) {
      cursor->position_bytes += count;
      return static_cast<int>(count);
    }
    if (count == 0) return AVERROR_EOF;
    if (errno != EINTR) {
      cursor->system_error = errno;
      return AVERROR(errno);
    }
  }
}

std::int64_t Seek(void* opaque, std::int64_t offset, int whence) {
  auto* cursor = static_cast<ReadCursor*>(opaque);
  struct stat status;
  switch (whence & ~AVSEEK_FORCE) {
    case AVSEEK_SIZE:
      if (fstat(cursor->descriptor, &status) != 0) {
        cursor->system_error = errno;
        return AVERROR(errno);
      }
      return status.st_size;
    case SEEK_SET:
      break;
    case SEEK_CUR:
      offset += cursor->position_bytes;
      break;
    case SEEK_END:
      if (fstat(cursor->descriptor, &status) != 0) {
        cursor->system_error = errno;
        return AVERROR(errno);
      }
      offset += status.st_size;
      break;
    default:
      return AVERROR(EINVAL);
  }
  if (offset < 0) return AVERROR(EINVAL);
  cursor->position_bytes = offset;
  return offset;
}

}  // namespace

int LastSystemError(const AVIOContext& context) {
  return static_cast<const ReadCursor*>(context.opaque)->system_error;
}

void IOContextDeleter::operator()(AVIOContext* context) const {
  delete static_cast<ReadCursor*>(context->opaque);
  av_freep(&context->buffer);
  avio_context_free(&context);
}

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

IOContextPtr FileInput::NewIOContext() const {
  auto* cursor = new (std::nothrow) ReadCursor{descriptor_, 0, 0};
  auto* buffer = static_cast<unsigned char*>(av_malloc(kIOBufferBytes));
  AVIOContext* context = nullptr;
  if (cursor != nullptr && buffer != nullptr) {
    context = avio_alloc_context(buffer, kIOBufferBytes, /*write_flag=*/0, cursor, ReadPacket,
                                 nullptr, Seek);
  }
  if (context == nullptr) {
    delete cursor;
    av_free(buffer);
    throw FileError(kAVAudioFileErrorUnreadable, path_, SystemErrorText(ENOMEM));
  }
  return IOContextPtr(context);
}

}  // namespace plim::avfaudio
