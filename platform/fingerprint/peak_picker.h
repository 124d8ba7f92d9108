// Picks the spectral peaks of a stream of spectrogram frames.

#ifndef PLIM_PLATFORM_FINGERPRINT_PEAK_PICKER_H_
#define PLIM_PLATFORM_FINGERPRINT_PEAK_PICKER_H_

#include <cstdint>
#include <deque>
#include <vector>

#include "platform/fingerprint/constellation.h"

namespace plim::fingerprint {

// Takes power spectra one frame at a time and finds the peaks that are the
// maximum of their time-frequency neighbourhood, prominent above their
// surroundings, and among the strongest few of their band nearby (see
// fingerprint_params.h). Works in a bounded window: memory does not grow with
// the length of the audio beyond the peaks found. A copyable value; not
// thread-safe.
class PeakPicker {
 public:
  PeakPicker();

  // Adds the next frame: kBinCount power values |X[k]|^2. Peaks are picked
  // from the power averaged over kSmoothingFrames frames.
  void AddFrame(const float* power);

  // Declares the end of the audio: decides every peak still pending. Add no
  // frame after it.
  void Flush();

  // The peaks decided so far, in the order they were decided (nearly, but not
  // exactly, time order; sort before use).
  const std::vector<Peak>& peaks() const { return peaks_; }

 private:
  // One frame of the spectrogram, as the peak tests read it.
  struct Column {
    float floor_db = 0;                   // bins below this level are never peaks
    std::vector<float> db;                // level of each bin
    std::vector<float> neighbourhood_db;  // max over +-kPeakNeighbourBins bins
                                          // (filled in the peak range only)
  };
  struct Candidate {
    std::int64_t frame = 0;  // the frame it was found in
    double time_frames = 0;  // interpolated
    double bin = 0;          // interpolated
    float prominence_db = 0;
  };
  // Peaks compete for density only within their band.
  struct Band {
    std::deque<Candidate> candidates;  // found, by frame; the decided ones kept while needed
    std::size_t undecided = 0;         // index of the first undecided candidate
  };

  static constexpr int kWindowFrames = 2 * kPeakNeighbourFrames + 1;

  Column& ColumnOf(std::int64_t frame) { return columns_[frame % kWindowFrames]; }
  // Finds the candidates of a frame whose neighbours are all added.
  void EvaluateFrame(std::int64_t frame);
  // Keeps `bin` of `frame`, a maximum of its neighbourhood, if prominent.
  void ConsiderCandidate(std::int64_t frame, int bin);
  void DecideCandidates(std::int64_t known_through_frame);
  bool Outranks(const Candidate& a, const Candidate& b) const;

  std::int64_t frames_added_ = 0;
  // The last kWindowFrames frames, frame f at f % kWindowFrames.
  std::vector<Column> columns_;
  std::vector<Band> bands_;  // kBandCount
  std::vector<Peak> peaks_;
  std::vector<int> band_of_bin_;         // -1 outside the peak range
  std::vector<float> absent_frame_db_;   // stands in for frames before the first or after the last
  std::vector<float> scratch_span_max_;  // for AddFrame
  std::vector<std::uint8_t> scratch_is_maximum_;  // for EvaluateFrame
  // The power of the kSmoothingFrames - 1 frames before the newest, frame f
  // at f % (kSmoothingFrames - 1).
  std::vector<std::vector<float>> earlier_power_;
  std::vector<float> scratch_smoothed_;  // for AddFrame
};

}  // namespace plim::fingerprint

#endif  // PLIM_PLATFORM_FINGERPRINT_PEAK_PICKER_H_
