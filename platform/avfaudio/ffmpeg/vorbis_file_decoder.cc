#include "platform/avfaudio/ffmpeg/vorbis_file_decoder.h"

#include <vorbis/vorbisfile.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>
#include <string_view>
#include <utility>

#include "platform/avfaudio/av_audio_file.h"
#include "platform/avfaudio/file_error.h"
#include "platform/foundation/ns_error.h"

namespace plim::avfaudio {

struct VorbisFileDecoder::Handle {
  explicit Handle(const FileInput& input) : input(input) {}
  ~Handle() {
    if (open) ov_clear(&file);
  }

  // Throws what the callbacks met: an exception can't cross libvorbisfile.
  void RethrowReadError() {
    if (read_error) std::rethrow_exception(std::exchange(read_error, nullptr));
  }

  // The next frames of the first link's format, pointing into libvorbisfile;
  // 0 at the end, where a link in another format counts as the end.
  long NextFrames(float*** pcm, int most_frames, const AVAudioFormat& format) {
    for (;;) {
      int link = 0;
      long frames = ov_read_float(&file, pcm, most_frames, &link);
      RethrowReadError();
      if (frames == OV_HOLE) continue;
      if (frames <= 0) return 0;
      const vorbis_info* info = ov_info(&file, link);
      if (info == nullptr || info->rate != static_cast<long>(format.sampleRate()) ||
          info->channels != static_cast<int>(format.channelCount())) {
        return 0;
      }
      return frames;
    }
  }

  const FileInput& input;
  std::int64_t offset_bytes = 0;
  std::exception_ptr read_error;
  OggVorbis_File file{};
  bool open = false;
};

namespace {

using Handle = VorbisFileDecoder::Handle;

std::size_t ReadCallback(void* data, std::size_t size, std::size_t count, void* source) {
  auto* handle = static_cast<Handle*>(source);
  try {
    const std::size_t done = handle->input.ReadAt(handle->offset_bytes, data, size * count);
    handle->offset_bytes += static_cast<std::int64_t>(done);
    return size == 0 ? 0 : done / size;
  } catch (...) {
    handle->read_error = std::current_exception();
    errno = EIO;
    return 0;
  }
}

int SeekCallback(void* source, ogg_int64_t offset, int whence) {
  auto* handle = static_cast<Handle*>(source);
  std::int64_t base = 0;
  try {
    if (whence == SEEK_CUR) base = handle->offset_bytes;
    if (whence == SEEK_END) base = handle->input.SizeBytes();
  } catch (...) {
    handle->read_error = std::current_exception();
    return -1;
  }
  if (base + offset < 0) return -1;
  handle->offset_bytes = base + offset;
  return 0;
}

long TellCallback(void* source) {
  return static_cast<long>(static_cast<Handle*>(source)->offset_bytes);
}

// Opens a handle over `input`; nullptr when libvorbisfile refuses the stream.
std::unique_ptr<Handle> OpenHandle(const FileInput& input) {
  auto handle = std::make_unique<Handle>(input);
  const ov_callbacks callbacks = {ReadCallback, SeekCallback, nullptr, TellCallback};
  const int error = ov_open_callbacks(handle.get(), &handle->file, nullptr, 0, callbacks);
  // Whatever the outcome, what the open allocated is released with the
  // handle: a failed open may leave some of it (ov_clear of a cleared file
  // does nothing), and a read error is thrown after the open returns.
  handle->open = true;
  handle->RethrowReadError();
  if (error != 0) return nullptr;
  return handle;
}

}  // namespace

bool LooksLikeOggVorbis(const FileInput& input) {
  // A page header of 27 bytes and its segment table, then the packet.
  unsigned char page[27 + 255 + 7] = {};
  const std::size_t got = input.ReadAt(0, page, sizeof page);
  if (got < 27 || std::memcmp(page, "OggS", 4) != 0) return false;
  const std::size_t packet_at = 27 + page[26];
  return got >= packet_at + 7 && std::memcmp(page + packet_at, "\x01vorbis", 7) == 0;
}

std::unique_ptr<VorbisFileDecoder> VorbisFileDecoder::TryOpen(const FileInput& input) {
  std::unique_ptr<Handle> handle = OpenHandle(input);
  if (!handle) return nullptr;
  return std::unique_ptr<VorbisFileDecoder>(new VorbisFileDecoder(input, std::move(handle)));
}

VorbisFileDecoder::VorbisFileDecoder(const FileInput& input, std::unique_ptr<Handle> handle)
    : input_(input),
      handle_(std::move(handle)),
      format_(static_cast<double>(ov_info(&handle_->file, 0)->rate),
              static_cast<AVAudioChannelCount>(ov_info(&handle_->file, 0)->channels)) {}

VorbisFileDecoder::~VorbisFileDecoder() = default;

std::int64_t VorbisFileDecoder::LengthFrames() {
  if (!length_frames_) {
    if (finished_) {
      length_frames_ = position_frames_;
    } else {
      std::unique_ptr<Handle> counter = OpenHandle(input_);
      if (!counter) {
        throw FileError(kAVAudioFileErrorUnreadable, input_.path(), "the file changed while read");
      }
      std::int64_t frames = 0;
      float** pcm = nullptr;
      while (long got = counter->NextFrames(&pcm, 1 << 16, format_)) frames += got;
      length_frames_ = std::max(frames, position_frames_);
    }
  }
  return *length_frames_;
}

std::int64_t VorbisFileDecoder::Read(float* const* planes, std::int64_t capacity_frames) {
  std::int64_t written = 0;
  const auto channels = static_cast<int>(format_.channelCount());
  while (written < capacity_frames && !finished_) {
    std::int64_t space = capacity_frames - written;
    if (length_frames_) space = std::min(space, *length_frames_ - position_frames_);
    if (space <= 0) {
      finished_ = true;
      break;
    }
    float** pcm = nullptr;
    const long frames = handle_->NextFrames(
        &pcm, static_cast<int>(std::min<std::int64_t>(space, 1 << 16)), format_);
    if (frames == 0) {
      // Held to a length counted earlier, a shortfall is silence.
      const std::int64_t missing =
          length_frames_ ? std::min(space, *length_frames_ - position_frames_) : 0;
      if (missing == 0) {
        finished_ = true;
        break;
      }
      for (int c = 0; c < channels; ++c) std::fill_n(planes[c] + written, missing, 0.0f);
      written += missing;
      position_frames_ += missing;
      continue;
    }
    for (int c = 0; c < channels; ++c) {
      std::copy_n(pcm[c], frames, planes[c] + written);
    }
    written += frames;
    position_frames_ += frames;
  }
  if (finished_ && !length_frames_) length_frames_ = position_frames_;
  return written;
}

}  // namespace plim::avfaudio
