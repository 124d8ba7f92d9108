// The peaks of a long recording, in overlapping windows, as it streams by.

#ifndef PLIM_TOOLS_PLIM_CATALOG_WINDOWED_FINGERPRINTER_H_
#define PLIM_TOOLS_PLIM_CATALOG_WINDOWED_FINGERPRINTER_H_

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "platform/avfaudio/av_audio_pcm_buffer.h"
#include "platform/fingerprint/constellation.h"
#include "platform/shazamkit/sh_signature_generator.h"

namespace plim {

// Windows last two hops and start every hop: kWindowHopFrames analysis
// frames (5.12 s). A whole number of frames keeps every window's peaks on
// the same time grid as the recording's.
inline constexpr int kWindowHopFrames = 160;
inline constexpr double kWindowHopS = kWindowHopFrames * fingerprint::kFrameDurationS;
// The window still filling is previewed each time this many more of its
// frames are in (1.28 s), when previews are asked for.
inline constexpr int kPreviewStepFrames = 40;

// One window of the stream: its peaks and outline, timed from its start.
struct AudioWindow {
  double start_s = 0;                // where the window starts in the stream
  fingerprint::Constellation peaks;  // duration_s: the window's length; no outline
  // Its band-energy outline (empty when the hop before it has none): kept
  // apart from the peaks, as windows are matched on their peaks alone.
  fingerprint::BandOutline outline;
};

// Takes a stream of audio buffers and hands out the constellation of each
// window as soon as its audio is in: windows [k * kWindowHopS, (k + 2) *
// kWindowHopS), the last one cut at the end of the stream. The stream is
// fingerprinted once, hop by hop, each hop with a little audio of its
// neighbours so that its peaks are those of the whole stream; memory stays
// that of two hops whatever the stream's length.
//
// A live stream may also preview the window still filling: its first hop
// and as much of its second as is in, handed out each kPreviewStepFrames
// (from one step in to one step short of the whole window), so that a
// recording starting early in the second hop can be named before the whole
// window is in. A preview's peaks are those its whole window will have, as
// far as it goes; the whole window still comes after its previews. Not
// thread-safe.
class WindowedFingerprinter {
 public:
  using WindowSink = std::function<void(AudioWindow)>;

  // `sink` receives the windows in time order, on the calling thread of
  // Append and Finish; `preview`, when given, the previews of each window
  // before it (their duration_s: as far as they go). Throws what
  // SHSignatureGenerator throws for a format it can't take.
  WindowedFingerprinter(const avfaudio::AVAudioFormat& format, WindowSink sink,
                        WindowSink preview = nullptr);
  ~WindowedFingerprinter();

  // Appends the buffer's frames (in the format given) after those so far.
  void Append(const avfaudio::AVAudioPCMBuffer& buffer);

  // Ends the stream: hands out the windows not yet given. Call once.
  void Finish();

 private:
  struct Hop;

  std::int64_t HopStartFrame(std::int64_t hop) const;  // in stream frames, with the margin
  std::int64_t HopEndFrame(std::int64_t hop) const;
  void CloseHop(Hop& hop, bool at_end);
  // Hands out a preview of the window still filling, when one is due.
  void PreviewIfDue();
  // The peaks (timed from the stream's start) and outline of `hop`'s
  // first `own_frames` frames of its own (not its margin).
  fingerprint::Constellation Own(const Hop& hop, std::int64_t own_frames) const;
  // The window of the last closed hop and `own` after it.
  AudioWindow WindowFrom(const fingerprint::Constellation& own) const;

  avfaudio::AVAudioFormat format_;
  WindowSink sink_;
  WindowSink preview_;
  std::unique_ptr<avfaudio::AVAudioPCMBuffer> slice_;  // a part of one appended buffer
  std::vector<std::unique_ptr<Hop>> open_hops_;        // oldest first; two unless buffers are long
  std::int64_t next_hop_ = 0;                          // the next hop to open
  std::int64_t frames_ = 0;                            // stream frames appended
  // The peaks and outline of the last closed hop, and that hop's number (-1: none).
  fingerprint::Constellation previous_;
  std::int64_t previous_hop_ = -1;
};

}  // namespace plim

#endif  // PLIM_TOOLS_PLIM_CATALOG_WINDOWED_FINGERPRINTER_H_
