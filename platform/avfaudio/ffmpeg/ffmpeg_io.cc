#include "platform/avfaudio/ffmpeg/ffmpeg_io.h"

#include <errno.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
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

IOContextPtr NewIOContext(const FileInput& input) {
  auto* cursor = new (std::nothrow) ReadCursor{input.descriptor(), 0, 0};
  auto* buffer = static_cast<unsigned char*>(av_malloc(kIOBufferBytes));
  AVIOContext* context = nullptr;
  if (cursor != nullptr && buffer != nullptr) {
    context = avio_alloc_context(buffer, kIOBufferBytes, /*write_flag=*/0, cursor, ReadPacket,
                                 nullptr, Seek);
  }
  if (context == nullptr) {
    delete cursor;
    av_free(buffer);
    throw FileError(kAVAudioFileErrorUnreadable, input.path(), SystemErrorText(ENOMEM));
  }
  return IOContextPtr(context);
}

std::string FfmpegErrorText(int error) {
  char text[AV_ERROR_MAX_STRING_SIZE] = {};
  av_strerror(error, text, sizeof text);
  return AsReason(text);
}

std::string TooManyChannelsReason(int channels) {
  return "it has " + std::to_string(channels) + " channels, and at most " +
         std::to_string(kMostChannels) + " are supported";
}

}  // namespace plim::avfaudio
