// Audio that arrives as it plays: a stream on the network, standard input,
// or a capture device. It has no length and is never sought in.

#ifndef PLIM_PLATFORM_AVFAUDIO_LIVE_AUDIO_SOURCE_H_
#define PLIM_PLATFORM_AVFAUDIO_LIVE_AUDIO_SOURCE_H_

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/avfaudio/av_audio_format.h"

namespace plim::avfaudio {

struct LiveSourceOptions {
  // Waiting longer than this for data, while opening or reading, is a
  // stall: an error.
  double stall_timeout_s = 15;
  // When not null and set (from any thread or a signal handler), a blocked
  // open or read returns within a fraction of a second. Must outlive the
  // source.
  const std::atomic<bool>* stop = nullptr;
};

// The first decodable audio stream of a live source, as deinterleaved
// 32-bit float frames in format() (the stream's rate and channels when it
// was opened; later changes are converted back). Not thread-safe; separate
// sources are independent.
class LiveAudioSource {
 public:
  virtual ~LiveAudioSource() = default;

  const AVAudioFormat& format() const { return format_; }

  // Waits until audio comes, then writes up to `capacity_frames` frames
  // (at least one) into `planes`, one array per channel of format(), each
  // with room for `capacity_frames` floats, and returns their number.
  // Returns 0 at the end of the stream or when stopped. Throws
  // foundation::NSError (kAVAudioFileErrorUnreadable, naming the source)
  // when the source fails or stalls.
  virtual std::int64_t Read(float* const* planes, std::int64_t capacity_frames) = 0;

 protected:
  LiveAudioSource() = default;
  void set_format(const AVAudioFormat& format) { format_ = format; }

 private:
  AVAudioFormat format_{1, 1};
};

// Opens `source`: "-" for standard input (any format FFmpeg detects),
// "alsa:NAME" or "pulse:NAME" for a capture device (alsa:default), or a URL
// FFmpeg reads (http, https, Icecast and Shoutcast streams, HLS playlists). Loads the FFmpeg module on first use; thread-safe. Throws
// foundation::NSError naming the source in one line:
// kAVAudioFileErrorNotAudioFile when it holds no audio FFmpeg knows,
// kAVAudioFileErrorNoDecodableAudio when none of its audio decodes,
// kAVAudioFileErrorUnreadable when it can't be reached (no such host or
// device) or stalls while opening, or when stopped while opening.
std::unique_ptr<LiveAudioSource> OpenLiveAudioSource(const std::string& source,
                                                     const LiveSourceOptions& options);

}  // namespace plim::avfaudio

#endif  // PLIM_PLATFORM_AVFAUDIO_LIVE_AUDIO_SOURCE_H_
