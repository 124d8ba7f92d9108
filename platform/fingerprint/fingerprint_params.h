// Every parameter of the acoustic fingerprint, in one place.
//
// The fingerprint is a constellation of spectral peaks; landmarks are hashes
// of peak triplets built to survive what users do to audio. Frequencies enter
// a hash only as log-frequency differences and times only as a ratio, so a
// pitch shift (all frequencies scaled) or a tempo change (all times scaled),
// or both together as in a sped-up recording, leave the hash unchanged; two
// coarse, non-invariant fields add discrimination and are probed at both
// neighbouring cells when a query is looked up.
//
// Changing anything here that alters peaks or hashes must bump
// kFingerprintVersion: catalogs record the version they were built with.

#ifndef PLIM_PLATFORM_FINGERPRINT_FINGERPRINT_PARAMS_H_
#define PLIM_PLATFORM_FINGERPRINT_FINGERPRINT_PARAMS_H_

#include <cstddef>
#include <cstdint>

namespace plim::fingerprint {

inline constexpr std::uint32_t kFingerprintVersion = 5;

// --- Analysis ---------------------------------------------------------------
// Audio is mixed to mono and resampled to this rate before analysis; the
// band it carries (up to 4 kHz) holds the melody and survives phone lines.
inline constexpr int kAnalysisSampleRateHz = 8000;
// The lowest input rate a generator accepts: it still carries up to 3 kHz.
inline constexpr double kMinInputSampleRateHz = 6000;
inline constexpr int kFftSize = 1024;  // 128 ms Hann window
inline constexpr int kHopSize = 256;   // 32 ms between frames
inline constexpr double kFrameDurationS = static_cast<double>(kHopSize) / kAnalysisSampleRateHz;
inline constexpr int kBinCount = kFftSize / 2 + 1;
inline constexpr double kBinWidthHz = static_cast<double>(kAnalysisSampleRateHz) / kFftSize;
// Peaks are looked for between these frequencies.
inline constexpr double kMinPeakFrequencyHz = 250;
inline constexpr double kMaxPeakFrequencyHz = 3800;

// --- Peak picking -----------------------------------------------------------
// Peaks are picked from the power averaged over this many frames, the
// newest and those before it.
inline constexpr int kSmoothingFrames = 3;
// A peak is the maximum of its neighbourhood: +-kPeakNeighbourBins bins and
// +-kPeakNeighbourFrames frames.
inline constexpr int kPeakNeighbourBins = 12;
inline constexpr int kPeakNeighbourFrames = 3;
// ... and stands this far (dB) above the mean of +-kProminenceSpanBins bins
// around it in its frame, so that flat noise yields no peaks.
inline constexpr float kMinProminenceDb = 6.0f;
inline constexpr int kProminenceSpanBins = 24;
// Bins more than this far below the loudest bin of the frame, or below the
// absolute floor, are never peaks (quantisation noise, digital silence).
inline constexpr float kFrameDynamicRangeDb = 60.0f;
inline constexpr float kSilenceFloorDb = -100.0f;
// Density: a peak is kept only when fewer than kPeaksPerBandWindow stronger
// peaks of its band lie within +-kDensityWindowFrames frames. Bands split the
// range at these edges (Hz), so every band keeps peaks whatever the others
// hold: a phone line or a band-pass still leaves matching peaks.
inline constexpr int kDensityWindowFrames = 16;
inline constexpr int kPeaksPerBandWindow = 5;
// A signature keeps this many, so that a query still holds a reference's
// peaks that noise has pushed down the ranking; references index only the
// kPeaksPerBandWindow strongest of them.
inline constexpr int kSignaturePeaksPerBandWindow = 6;
// References also keep this many peaks a band window, beside the index, for
// checking candidates peak by peak.
inline constexpr int kReferencePeaksPerBandWindow = 6;
inline constexpr double kBandEdgesHz[] = {250, 500, 1000, 2000, 3800};
inline constexpr int kBandCount = 4;

// --- Peak quantisation in signatures ------------------------------------------
inline constexpr int kTimeSubdivisions = 16;  // peak times in 1/16 frame
inline constexpr int kBinSubdivisions = 16;   // peak frequencies in 1/16 bin

// --- Landmarks ----------------------------------------------------------------
// Each anchor peak pairs with the first kTargetsPerAnchor peaks that follow it
// within the target zone; every two of them form a triplet with the anchor.
inline constexpr int kTargetsPerAnchor = 3;
// A query's anchors take more: noise adds peaks that push a reference
// triplet's targets further down the query's list.
inline constexpr int kQueryTargetsPerAnchor = 5;
inline constexpr double kMinTargetDtFrames = 1.0;
inline constexpr double kMaxTargetDtFrames = 48.0;
inline constexpr double kMaxTargetOctaves = 1.0;  // |log2(f_target / f_anchor)|

// Hash fields, from the top bit down (26 bits in all):
//   anchor band    5 bits  log2(f_A / kMinPeakFrequencyHz) in 1/6 octave cells  (coarse)
//   dlogf AB       6 bits  log2(f_B / f_A) + 1 in 1/32 octave cells               (invariant)
//   dlogf AC       6 bits  log2(f_C / f_A) + 1 in 1/32 octave cells               (invariant)
//   time ratio     4 bits  (t_B - t_A) / (t_C - t_A) in 1/16 cells                (invariant)
//   span           5 bits  log2(t_C - t_A) in 1/4 octave cells                    (coarse)
inline constexpr double kAnchorCellsPerOctave = 6;
inline constexpr double kDeltaCellsPerOctave = 32;
inline constexpr double kRatioCells = 16;
inline constexpr double kSpanCellsPerOctave = 4;
inline constexpr int kAnchorBits = 5, kDeltaBits = 6, kRatioBits = 4, kSpanBits = 5;
inline constexpr int kHashBits = kAnchorBits + 2 * kDeltaBits + kRatioBits + kSpanBits;

// Query probing: a query field whose value lies within this fraction of a cell
// from a cell edge is looked up in the neighbouring cell too. The coarse
// fields carry the whole +-5% speed change; the invariant ones only noise.
inline constexpr double kAnchorProbeMargin = 0.45;
inline constexpr double kDeltaProbeMargin = 0.1;
inline constexpr double kRatioProbeMargin = 0.2;
inline constexpr double kSpanProbeMargin = 0.35;

// --- Matching -------------------------------------------------------------------
// A query shorter than this holds too few landmarks to be told apart from chance.
inline constexpr double kMinQueryDurationS = 1.0;
// Speed factors searched, as query speed relative to the reference.
inline constexpr double kMaxSpeedSkew = 0.06;
inline constexpr double kSpeedStep = 0.002;
// Hits within this many frames of the fitted line count for a match.
inline constexpr double kInlierToleranceFrames = 1.5;
// A hash the query holds more often than this is a sustained tone or a loop:
// it says little about which recording this is and floods the search with
// hits, so it is not looked up.
inline constexpr int kMaxHashRepeatsInQuery = 32;
// Chance hits are not spread evenly over a recording: repeated bars, shared
// loops and held chords crowd them where the query resembles the reference.
// How many chance hits an alignment should expect is measured on this many
// offset windows on either side of it.
inline constexpr int kBackgroundWindows = 60;
// Candidates whose time alignment is examined: the recordings with the most
// hits in any one band of offsets the speed search can reach, and at least
// this many there.
inline constexpr int kCandidatesExamined = 24;
// The most hits (query landmark, reference posting) one pass over a query's
// landmarks gathers, and the first of two passes over its strongest ones. A
// hash's postings grow with the catalog, and a match's time with its hits:
// in a catalog of hundreds of hours only the query's rarer hashes, which say
// the most, are looked at. In one of 1,000 hours the first pass's bound
// leaves the answers as they were and takes a match from 27 to 9 ms of CPU
// (median); the other bounds the worst case.
inline constexpr std::size_t kMaxHitsPerPass = 1'000'000;
inline constexpr std::size_t kMaxHitsFirstPass = 20'000;
inline constexpr int kMinBandHits = 2;
// A match is reported only when the chance that unrelated audio scores as
// high, over every offset, speed and recording in the catalog, is below this
// under the model of chance hits (matching/significance.h), which measures
// their density around each alignment. On the benchmark corpus the lowest
// such chance any wrong candidate reached was 1.6e-6 in some 15,000; the
// bound lies two orders of magnitude below it.
inline constexpr double kFalseMatchProbability = 1e-8;
// And never on fewer aligned landmarks than this, whatever the statistics say.
inline constexpr int kMinAlignedLandmarks = 6;
// Or, when the evidence is the reference's peaks found in the query, on
// fewer matched peaks than this.
inline constexpr int kMinMatchedPeaks = 10;

}  // namespace plim::fingerprint

#endif  // PLIM_PLATFORM_FINGERPRINT_FINGERPRINT_PARAMS_H_
