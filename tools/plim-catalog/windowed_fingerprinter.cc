#include "tools/plim-catalog/windowed_fingerprinter.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <new>

namespace plim {
namespace {

// Each hop is fingerprinted with this much of its neighbours' audio on
// either side, and keeps only the peaks of its own frames: a peak's tests
// reach 3 frames around it and its density window 16, so with the margin
// a hop's peaks are those of the whole stream.
constexpr int kMarginFrames = 20;

constexpr std::uint32_t kQPerFrame = fingerprint::kTimeSubdivisions;

}  // namespace

struct WindowedFingerprinter::Hop {
  std::int64_t number = 0;
  std::int64_t origin_frames = 0;     // the analysis frame its generator's time 0 stands for
  std::int64_t fed_frames = 0;        // stream frames appended to its generator
  std::int64_t previewed_frames = 0;  // of its own frames, in the latest preview
  shazamkit::SHSignatureGenerator generator;
};

WindowedFingerprinter::WindowedFingerprinter(const avfaudio::AVAudioFormat& format, WindowSink sink,
                                             WindowSink preview)
    : format_(format), sink_(std::move(sink)), preview_(std::move(preview)) {}

WindowedFingerprinter::~WindowedFingerprinter() = default;

std::int64_t WindowedFingerprinter::HopStartFrame(std::int64_t hop) const {
  const std::int64_t frame = std::max<std::int64_t>(0, hop * kWindowHopFrames - kMarginFrames);
  return std::llround(static_cast<double>(frame) * fingerprint::kHopSize * format_.sampleRate() /
                      fingerprint::kAnalysisSampleRateHz);
}

std::int64_t WindowedFingerprinter::HopEndFrame(std::int64_t hop) const {
  const std::int64_t frame = (hop + 1) * kWindowHopFrames + kMarginFrames;
  return std::llround(static_cast<double>(frame) * fingerprint::kHopSize * format_.sampleRate() /
                      fingerprint::kAnalysisSampleRateHz);
}

void WindowedFingerprinter::Append(const avfaudio::AVAudioPCMBuffer& buffer) {
  if (buffer.frameLength() == 0) return;
  const std::int64_t begin = frames_;
  const std::int64_t end = frames_ + buffer.frameLength();
  while (HopStartFrame(next_hop_) < end) {
    auto hop = std::make_unique<Hop>();
    hop->number = next_hop_;
    hop->origin_frames = std::max<std::int64_t>(0, next_hop_ * kWindowHopFrames - kMarginFrames);
    open_hops_.push_back(std::move(hop));
    ++next_hop_;
  }
  if (slice_ == nullptr || slice_->frameCapacity() < buffer.frameLength()) {
    slice_ = avfaudio::AVAudioPCMBuffer::initWithPCMFormat(format_, buffer.frameLength());
    if (slice_ == nullptr) throw std::bad_alloc();
  }
  for (const std::unique_ptr<Hop>& hop : open_hops_) {
    const std::int64_t from = std::max(begin, HopStartFrame(hop->number));
    const std::int64_t to = std::min(end, HopEndFrame(hop->number));
    if (from >= to) continue;
    if (from == begin && to == end) {
      hop->generator.appendBuffer(buffer);
    } else {
      const auto count = static_cast<avfaudio::AVAudioFrameCount>(to - from);
      for (std::uint32_t c = 0; c < format_.channelCount(); ++c) {
        std::memcpy(slice_->floatChannelData()[c], buffer.floatChannelData()[c] + (from - begin),
                    count * sizeof(float));
      }
      slice_->setFrameLength(count);
      hop->generator.appendBuffer(*slice_);
    }
    hop->fed_frames += to - from;
  }
  frames_ = end;
  while (!open_hops_.empty() && HopEndFrame(open_hops_.front()->number) <= frames_) {
    CloseHop(*open_hops_.front(), false);
    open_hops_.erase(open_hops_.begin());
  }
  if (preview_) PreviewIfDue();
}

void WindowedFingerprinter::PreviewIfDue() {
  if (previous_hop_ < 0 || open_hops_.empty()) return;
  Hop& hop = *open_hops_.front();
  if (hop.number != previous_hop_ + 1 || hop.fed_frames == 0) return;
  // The hop's own frames whose peaks are final: the margin after them is in.
  const auto heard_frames = static_cast<std::int64_t>(std::floor(
      static_cast<double>(frames_) / format_.sampleRate() / fingerprint::kFrameDurationS));
  const std::int64_t own_frames = heard_frames - kMarginFrames - hop.number * kWindowHopFrames;
  const std::int64_t due = own_frames / kPreviewStepFrames * kPreviewStepFrames;
  if (due < kPreviewStepFrames || due >= kWindowHopFrames || due <= hop.previewed_frames) return;
  hop.previewed_frames = due;
  AudioWindow window = WindowFrom(Own(hop, due));
  window.peaks.duration_s =
      static_cast<double>(kWindowHopFrames + due) * fingerprint::kFrameDurationS;
  preview_(std::move(window));
}

fingerprint::Constellation WindowedFingerprinter::Own(const Hop& hop,
                                                      std::int64_t own_frames) const {
  const std::int64_t own_begin_frames = hop.number * kWindowHopFrames;
  const std::uint64_t own_begin_q = static_cast<std::uint64_t>(own_begin_frames) * kQPerFrame;
  const std::uint64_t own_end_q = own_begin_q + static_cast<std::uint64_t>(own_frames) * kQPerFrame;
  const std::uint64_t origin_q = static_cast<std::uint64_t>(hop.origin_frames) * kQPerFrame;
  fingerprint::Constellation own;
  const shazamkit::SHSignature signature = hop.generator.signature();
  const fingerprint::Constellation& all = signature.constellation();
  for (fingerprint::Peak p : all.peaks) {
    const std::uint64_t time_q = p.time_q + origin_q;
    if (time_q < own_begin_q || time_q >= own_end_q) continue;
    p.time_q = static_cast<std::uint32_t>(time_q);
    own.peaks.push_back(p);
  }
  // Hops and margins are whole outline frames, so a hop's own outline
  // frames are those of the whole stream.
  const std::size_t first =
      fingerprint::OutlineFrameOf(static_cast<std::size_t>(own_begin_frames - hop.origin_frames));
  const std::size_t last =
      std::min(all.outline.frames(),
               first + fingerprint::OutlineFrameOf(static_cast<std::size_t>(own_frames)));
  if (first < last) {
    own.outline.levels.assign(all.outline.levels.begin() +
                                  static_cast<std::ptrdiff_t>(first * fingerprint::kOutlineBands),
                              all.outline.levels.begin() +
                                  static_cast<std::ptrdiff_t>(last * fingerprint::kOutlineBands));
  }
  return own;
}

AudioWindow WindowedFingerprinter::WindowFrom(const fingerprint::Constellation& own) const {
  AudioWindow window;
  const std::int64_t start_frames = previous_hop_ * kWindowHopFrames;
  window.start_s = static_cast<double>(start_frames) * fingerprint::kFrameDurationS;
  const auto start_q = static_cast<std::uint32_t>(start_frames * kQPerFrame);
  window.peaks.peaks.reserve(previous_.peaks.size() + own.peaks.size());
  for (const fingerprint::Constellation* part : {&previous_, &own}) {
    for (fingerprint::Peak p : part->peaks) {
      p.time_q -= start_q;
      window.peaks.peaks.push_back(p);
    }
  }
  // An outline with a gap would misplace the frames after it.
  if (previous_.outline.frames() * fingerprint::kOutlineFrameSpan == kWindowHopFrames) {
    window.outline.levels = previous_.outline.levels;
    window.outline.levels.insert(window.outline.levels.end(), own.outline.levels.begin(),
                                 own.outline.levels.end());
  }
  return window;
}

void WindowedFingerprinter::Finish() {
  const double end_frames =
      static_cast<double>(frames_) / format_.sampleRate() / fingerprint::kFrameDurationS;
  for (const std::unique_ptr<Hop>& hop : open_hops_) {
    // A hop opened for its margin alone, whose own frames never came.
    if (static_cast<double>(hop->number * kWindowHopFrames) >= end_frames) break;
    CloseHop(*hop, true);
  }
  open_hops_.clear();
  if (previous_hop_ == 0) {
    // A stream shorter than a hop: one window of it all.
    AudioWindow window;
    window.peaks.peaks = std::move(previous_.peaks);
    window.outline = std::move(previous_.outline);
    window.peaks.duration_s = static_cast<double>(frames_) / format_.sampleRate();
    sink_(std::move(window));
  }
}

void WindowedFingerprinter::CloseHop(Hop& hop, bool at_end) {
  fingerprint::Constellation own;
  if (hop.fed_frames > 0) own = Own(hop, kWindowHopFrames);
  if (previous_hop_ >= 0 && previous_hop_ == hop.number - 1) {
    // The window of the previous hop and this one, timed from its start.
    AudioWindow window = WindowFrom(own);
    const double stream_s = static_cast<double>(frames_) / format_.sampleRate();
    window.peaks.duration_s = 2 * kWindowHopS;
    if (at_end)
      window.peaks.duration_s = std::min(window.peaks.duration_s, stream_s - window.start_s);
    sink_(std::move(window));
  }
  previous_ = std::move(own);
  previous_hop_ = hop.number;
}

}  // namespace plim
