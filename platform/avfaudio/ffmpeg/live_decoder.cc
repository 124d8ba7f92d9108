// The FFmpeg module's second entry point: a LiveAudioSource over a demuxer
// reading a URL or standard input.

#include <dlfcn.h>
#include <netdb.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <type_traits>
#include <vector>

#include "platform/avfaudio/av_audio_file.h"
#include "platform/avfaudio/ffmpeg/ffmpeg_handles.h"
#include "platform/avfaudio/ffmpeg/ffmpeg_io.h"
#include "platform/avfaudio/ffmpeg_module.h"
#include "platform/avfaudio/file_error.h"
#include "platform/avfaudio/live_audio_source.h"
#include "platform/foundation/ns_error.h"
#include "platform/foundation/quoted_text.h"

extern "C" {
#include <libavdevice/avdevice.h>
#include <libavutil/log.h>
#include <libavutil/mem.h>
}

namespace plim::avfaudio {
namespace {

using Clock = std::chrono::steady_clock;

// How often a wait for standard input looks at the stop flag and the deadline.
constexpr int kPollSliceMs = 200;
constexpr int kIOBufferBytes = 64 * 1024;
// What a source that fails once open did, for its errors.
constexpr char kStopped[] = "stopped";

foundation::NSError SourceError(std::int64_t code, const std::string& source,
                                const std::string& what) {
  return foundation::NSError(kAVFAudioErrorDomain, code,
                             "The source " + foundation::QuotedText(source) + " " + what + ".");
}

// Whether the host named in `url` ("scheme://[user@]host[:port]/...") has
// an address; true when it names none or the answer is not a plain "no".
bool HostResolves(const std::string& url) {
  const std::size_t scheme_end = url.find("://");
  if (scheme_end == std::string::npos) return true;
  std::string host = url.substr(scheme_end + 3);
  host = host.substr(0, host.find_first_of("/?#"));
  if (const std::size_t at = host.rfind('@'); at != std::string::npos) host.erase(0, at + 1);
  if (host.empty() || host.front() == '[') return true;
  host = host.substr(0, host.find(':'));
  addrinfo* found = nullptr;
  const int error = getaddrinfo(host.c_str(), nullptr, nullptr, &found);
  if (found != nullptr) freeaddrinfo(found);
  return error != EAI_NONAME && error != EAI_FAIL;
}

// The capture device's input format when `source` is "alsa:NAME" or
// "pulse:NAME" (alsa:default, pulse:default); null otherwise. Other
// devices FFmpeg has (jack, oss) print on their own and are not offered.
const AVInputFormat* CaptureDevice(const std::string& source) {
  const std::size_t colon = source.find(':');
  if (colon == std::string::npos) return nullptr;
  const std::string kind = source.substr(0, colon);
  if (kind != "alsa" && kind != "pulse") return nullptr;
  return av_find_input_format(kind.c_str());
}

void IgnoreAlsaError(const char*, int, const char*, int, const char*, ...) {}

// libasound writes its errors to standard error unless given a handler;
// library code never prints. It is loaded with FFmpeg's device library.
void SilenceAlsa() {
  void* alsa = dlopen("libasound.so.2", RTLD_LAZY | RTLD_NOLOAD);
  if (alsa == nullptr) return;
  using Handler = void (*)(const char*, int, const char*, int, const char*, ...);
  if (void* set = dlsym(alsa, "snd_lib_error_set_handler"); set != nullptr) {
    reinterpret_cast<int (*)(Handler)>(set)(IgnoreAlsaError);
  }
  dlclose(alsa);
}

struct IOBufferContextDeleter {
  void operator()(AVIOContext* context) const {
    av_freep(&context->buffer);
    avio_context_free(&context);
  }
};

class LiveDecoder : public LiveAudioSource {
 public:
  LiveDecoder(const std::string& source, const LiveSourceOptions& options)
      : source_(source), options_(options) {
    static std::once_flag once;
    std::call_once(once, [] {
      // Library code never prints.
      av_log_set_level(AV_LOG_QUIET);
      avformat_network_init();
      avdevice_register_all();
      SilenceAlsa();
    });
    set_format(Open());
  }

  std::int64_t Read(float* const* planes, std::int64_t capacity_frames) override {
    while (PendingFrames() == 0) {
      if (!Refill()) return 0;
    }
    const std::int64_t frames = std::min(capacity_frames, PendingFrames());
    for (std::size_t c = 0; c < pending_.size(); ++c) {
      std::copy_n(pending_[c].begin() + pending_offset_, frames, planes[c]);
    }
    pending_offset_ += frames;
    return frames;
  }

 private:
  // Opens the demuxer and the decoder; returns the format frames come in.
  AVAudioFormat Open() {
    AVFormatContext* context = avformat_alloc_context();
    if (context == nullptr)
      throw SourceError(kAVAudioFileErrorUnreadable, source_, "out of memory");
    context->interrupt_callback = {&LiveDecoder::Interrupted, this};
    std::string url = source_;
    if (source_ == "-") {
      // Standard input is read here rather than by FFmpeg's pipe protocol,
      // whose reads block beyond the reach of the stop flag and the deadline.
      auto* buffer = static_cast<unsigned char*>(av_malloc(kIOBufferBytes));
      AVIOContext* io = buffer == nullptr
                            ? nullptr
                            : avio_alloc_context(buffer, kIOBufferBytes, 0, this,
                                                 &LiveDecoder::ReadStandardInput, nullptr, nullptr);
      if (io == nullptr) {
        av_free(buffer);
        avformat_free_context(context);
        throw SourceError(kAVAudioFileErrorUnreadable, source_, "could not be read: out of memory");
      }
      io->seekable = 0;
      io_.reset(io);
      context->pb = io;
      url = "pipe:";
    }
    const AVInputFormat* device = CaptureDevice(source_);
    if (device != nullptr) url = source_.substr(source_.find(':') + 1);
    Arm();
    int error = avformat_open_input(&context, url.c_str(), device, nullptr);
    if (error < 0 && device != nullptr) {
      throw SourceError(
          kAVAudioFileErrorUnreadable, source_,
          "could not be opened: no such device, or it is busy (" + FfmpegErrorText(error) + ")");
    }
    if (error < 0) throw Failure(error, "could not be opened");
    format_.reset(context);
    Arm();
    error = avformat_find_stream_info(context, nullptr);
    if (error < 0 && (Stopped() || timed_out_)) throw Failure(error, "could not be opened");

    const AVCodec* codec = nullptr;
    stream_ = av_find_best_stream(context, AVMEDIA_TYPE_AUDIO, -1, -1, &codec, 0);
    if (stream_ == AVERROR_STREAM_NOT_FOUND) {
      throw SourceError(kAVAudioFileErrorNotAudioFile, source_, "holds no audio");
    }
    const AVCodecParameters* parameters = context->streams[std::max(stream_, 0)]->codecpar;
    if (stream_ < 0 || codec == nullptr || parameters->sample_rate <= 0 ||
        parameters->ch_layout.nb_channels <= 0 ||
        parameters->ch_layout.nb_channels > kMostChannels) {
      throw SourceError(kAVAudioFileErrorNoDecodableAudio, source_,
                        "holds no audio that can be decoded");
    }
    codec_.reset(avcodec_alloc_context3(codec));
    if (codec_ == nullptr || avcodec_parameters_to_context(codec_.get(), parameters) < 0 ||
        avcodec_open2(codec_.get(), codec, nullptr) < 0) {
      throw SourceError(kAVAudioFileErrorNoDecodableAudio, source_,
                        "holds no audio that can be decoded");
    }
    packet_.reset(av_packet_alloc());
    frame_.reset(av_frame_alloc());
    if (packet_ == nullptr || frame_ == nullptr) {
      throw SourceError(kAVAudioFileErrorUnreadable, source_, "could not be read: out of memory");
    }
    av_channel_layout_default(layout_.get(), parameters->ch_layout.nb_channels);
    rate_hz_ = parameters->sample_rate;
    pending_.resize(static_cast<std::size_t>(parameters->ch_layout.nb_channels));
    return AVAudioFormat(rate_hz_, static_cast<AVAudioChannelCount>(pending_.size()));
  }

  bool Stopped() const { return options_.stop != nullptr && options_.stop->load(); }

  // Starts the wait for data afresh: time spent away from the source (matching
  // what it gave) is no stall. A stall found stays: FFmpeg keeps the error
  // it caused and gives it again.
  void Arm() {
    deadline_ = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                   std::chrono::duration<double>(options_.stall_timeout_s));
  }

  bool Expired() {
    if (Clock::now() > deadline_) timed_out_ = true;
    return timed_out_;
  }

  static int Interrupted(void* opaque) {
    auto* self = static_cast<LiveDecoder*>(opaque);
    return self->Stopped() || self->Expired() ? 1 : 0;
  }

  static int ReadStandardInput(void* opaque, std::uint8_t* data, int size) {
    auto* self = static_cast<LiveDecoder*>(opaque);
    for (;;) {
      if (self->Stopped() || self->Expired()) return AVERROR_EXIT;
      pollfd ready = {STDIN_FILENO, POLLIN, 0};
      const int polled = poll(&ready, 1, kPollSliceMs);
      if (polled < 0 && errno != EINTR) return AVERROR(errno);
      if (polled <= 0) continue;
      const ssize_t count = read(STDIN_FILENO, data, static_cast<std::size_t>(size));
      if (count > 0) return static_cast<int>(count);
      if (count == 0) return AVERROR_EOF;
      if (errno != EINTR && errno != EAGAIN) return AVERROR(errno);
    }
  }

  foundation::NSError Failure(int error, const std::string& what) const {
    if (timed_out_) {
      return SourceError(kAVAudioFileErrorUnreadable, source_,
                         what + ": no data for " +
                             std::to_string(static_cast<int>(options_.stall_timeout_s)) + " s");
    }
    if (Stopped()) return SourceError(kAVAudioFileErrorUnreadable, source_, what + ": stopped");
    // FFmpeg says only "input/output error" for a host that does not resolve.
    if (error == AVERROR(EIO) && !HostResolves(source_)) {
      return SourceError(kAVAudioFileErrorUnreadable, source_, what + ": no such host");
    }
    if (error == AVERROR_INVALIDDATA && what != kStopped) {
      return SourceError(kAVAudioFileErrorNotAudioFile, source_, "holds no audio");
    }
    return SourceError(kAVAudioFileErrorUnreadable, source_, what + ": " + FfmpegErrorText(error));
  }

  std::int64_t PendingFrames() const {
    return static_cast<std::int64_t>(pending_[0].size()) - pending_offset_;
  }

  // Decodes until frames are pending. False at the end of the stream or when stopped.
  bool Refill() {
    for (;;) {
      const int received = avcodec_receive_frame(codec_.get(), frame_.get());
      if (received == 0) {
        Convert();
        av_frame_unref(frame_.get());
        if (PendingFrames() > 0) return true;
        continue;
      }
      if (received == AVERROR_EOF) return false;
      if (received != AVERROR(EAGAIN)) continue;  // a damaged frame: pass over it
      if (input_ended_) return false;
      Arm();
      const int read = av_read_frame(format_.get(), packet_.get());
      if (read < 0) {
        if (Stopped()) return false;
        if (read != AVERROR_EOF || timed_out_) throw Failure(read, kStopped);
        input_ended_ = true;
        avcodec_send_packet(codec_.get(), nullptr);
        continue;
      }
      if (packet_->stream_index == stream_) avcodec_send_packet(codec_.get(), packet_.get());
      av_packet_unref(packet_.get());
    }
  }

  // Appends the current frame, converted to format(), to pending_.
  void Convert() {
    const bool same = frame_->format == input_format_ && frame_->sample_rate == input_rate_hz_ &&
                      av_channel_layout_compare(&frame_->ch_layout, input_layout_.get()) == 0;
    if (!same || converter_ == nullptr) {
      SwrContext* converter = nullptr;
      if (swr_alloc_set_opts2(&converter, layout_.get(), AV_SAMPLE_FMT_FLTP, rate_hz_,
                              &frame_->ch_layout, static_cast<AVSampleFormat>(frame_->format),
                              frame_->sample_rate, 0, nullptr) < 0 ||
          swr_init(converter) < 0) {
        swr_free(&converter);
        throw SourceError(kAVAudioFileErrorUnreadable, source_,
                          "stopped: its audio changed to a format that can't be converted");
      }
      converter_.reset(converter);
      input_format_ = frame_->format;
      input_rate_hz_ = frame_->sample_rate;
      av_channel_layout_uninit(input_layout_.get());
      av_channel_layout_copy(input_layout_.get(), &frame_->ch_layout);
    }
    // What was handed out is dropped before more is added.
    for (std::vector<float>& plane : pending_) {
      plane.erase(plane.begin(), plane.begin() + pending_offset_);
    }
    pending_offset_ = 0;
    const int room = swr_get_out_samples(converter_.get(), frame_->nb_samples);
    if (room <= 0) return;
    const std::size_t had = pending_[0].size();
    std::vector<std::uint8_t*> out(pending_.size());
    for (std::size_t c = 0; c < pending_.size(); ++c) {
      pending_[c].resize(had + static_cast<std::size_t>(room));
      out[c] = reinterpret_cast<std::uint8_t*>(pending_[c].data() + had);
    }
    const int made =
        swr_convert(converter_.get(), out.data(), room,
                    const_cast<const std::uint8_t**>(frame_->extended_data), frame_->nb_samples);
    for (std::vector<float>& plane : pending_) plane.resize(had + std::max(made, 0));
  }

  std::string source_;
  LiveSourceOptions options_;
  Clock::time_point deadline_;
  bool timed_out_ = false;
  // Declared before format_ so that it is freed after the demuxer using it.
  std::unique_ptr<AVIOContext, IOBufferContextDeleter> io_;
  FormatContextPtr format_;
  int stream_ = -1;
  CodecContextPtr codec_;
  PacketPtr packet_;
  FramePtr frame_;
  bool input_ended_ = false;
  ChannelLayout layout_;
  int rate_hz_ = 0;
  SwrContextPtr converter_;
  int input_format_ = -1;
  int input_rate_hz_ = 0;
  ChannelLayout input_layout_;
  std::vector<std::vector<float>> pending_;  // decoded, one per channel
  std::int64_t pending_offset_ = 0;          // frames of pending_ handed out
};

}  // namespace
}  // namespace plim::avfaudio

extern "C" __attribute__((visibility("default"))) plim::avfaudio::LiveAudioSource*
PlimAvfaudioOpenLiveSource(const std::string& source,
                           const plim::avfaudio::LiveSourceOptions& options) {
  return new plim::avfaudio::LiveDecoder(source, options);
}

static_assert(
    std::is_same_v<decltype(&PlimAvfaudioOpenLiveSource), plim::avfaudio::LiveSourceEntry>);
