// The fingerprint's promises: the same audio gives the same landmarks however
// it is streamed in, and an excerpt, even noisy or played faster or slower,
// shares many landmarks with its recording at one consistent time offset and
// next to none with unrelated music.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <map>
#include <span>

#include "platform/fingerprint/fingerprinter.h"
#include "platform/fingerprint/landmark_hasher.h"
#include "tests/support/audio_fixtures.h"

namespace plim::fingerprint {
namespace {

using ::plim::testing::Audio;

Constellation Fingerprint(const Audio& audio, std::size_t chunk = 1 << 30) {
  Fingerprinter fingerprinter;
  std::span<const float> rest(audio.samples);
  while (!rest.empty()) {
    std::size_t n = std::min(chunk, rest.size());
    fingerprinter.AppendSamples(rest.first(n));
    rest = rest.subspan(n);
  }
  return fingerprinter.Finish(static_cast<double>(audio.frameCount()) / audio.sample_rate_hz);
}

// Plays `audio` `speed` times faster (pitch and tempo together), by linear
// interpolation, as a turntable or a sped-up broadcast does.
Audio ChangeSpeed(const Audio& audio, double speed) {
  Audio out{audio.sample_rate_hz, 1, {}};
  for (double x = 0; x + 1 < static_cast<double>(audio.samples.size()); x += speed) {
    auto i = static_cast<std::size_t>(x);
    double f = x - static_cast<double>(i);
    out.samples.push_back(
        static_cast<float>(audio.samples[i] * (1 - f) + audio.samples[i + 1] * f));
  }
  return out;
}

// The most query landmarks that agree on one reference offset, allowing for
// the query's speed.
int BestAlignedCount(const std::vector<Landmark>& reference, const std::vector<Landmark>& query,
                     double speed, int* offset_frames = nullptr) {
  std::multimap<std::uint32_t, std::uint32_t> index;
  for (const Landmark& l : reference) index.insert({l.hash, l.anchor_frame});
  std::map<long, int> votes;
  for (const Landmark& q : query) {
    auto [begin, end] = index.equal_range(q.hash);
    for (auto it = begin; it != end; ++it) {
      ++votes[std::lround((it->second - speed * q.anchor_frame) / 2.0)];
    }
  }
  int best = 0;
  for (auto [offset, count] : votes) {
    // Neighbouring cells hold the same alignment split by rounding.
    int around = count + (votes.count(offset + 1) ? votes[offset + 1] : 0);
    if (around > best) {
      best = around;
      if (offset_frames) *offset_frames = static_cast<int>(offset * 2);
    }
  }
  return best;
}

TEST(FingerprintTest, SameAudioSameLandmarksHoweverStreamed) {
  Audio melody = testing::makeMelody(11, 12, kAnalysisSampleRateHz, 1);
  Constellation whole = Fingerprint(melody);
  ASSERT_GT(whole.peaks.size(), 100u);
  for (std::size_t chunk : {1u, 255u, 256u, 1000u, 4096u}) {
    EXPECT_EQ(Fingerprint(melody, chunk), whole) << "chunk " << chunk;
  }
  EXPECT_EQ(ReferenceLandmarks(whole), ReferenceLandmarks(Fingerprint(melody)));
}

TEST(FingerprintTest, FinishLeavesTheStreamAsItWas) {
  Audio melody = testing::makeMelody(12, 8, kAnalysisSampleRateHz, 1);
  Fingerprinter fingerprinter;
  std::span<const float> all(melody.samples);
  fingerprinter.AppendSamples(all.first(all.size() / 2));
  fingerprinter.Finish(4);  // a look at the first half
  fingerprinter.AppendSamples(all.subspan(all.size() / 2));
  EXPECT_EQ(fingerprinter.Finish(8), Fingerprint(melody));
}

TEST(FingerprintTest, SilenceAndToneGiveFewOrNoPeaks) {
  Audio silence{kAnalysisSampleRateHz, 1, std::vector<float>(kAnalysisSampleRateHz * 5, 0.0f)};
  EXPECT_TRUE(Fingerprint(silence).peaks.empty());
  // A steady tone is one peak held over time: it starts once, it is not
  // repeated every frame.
  Constellation tone = Fingerprint(testing::makeTone(1000, 5, kAnalysisSampleRateHz));
  EXPECT_LE(tone.peaks.size(), 4u);
}

TEST(LandmarksTest, AQueryOfTheSameAudioHoldsEveryReferenceLandmark) {
  // Signatures keep more peaks than references index, and queries form
  // triplets over more targets: none of that may lose a reference triplet
  // when the audio is the same.
  for (std::uint32_t seed : {31u, 32u, 33u}) {
    Constellation constellation =
        Fingerprint(testing::makeMelody(seed, 30, kAnalysisSampleRateHz, 1));
    std::vector<Landmark> reference = ReferenceLandmarks(constellation);
    std::vector<Landmark> query = QueryLandmarks(constellation);
    ASSERT_GT(reference.size(), 1000u);
    auto order = [](const Landmark& a, const Landmark& b) {
      return a.hash != b.hash ? a.hash < b.hash : a.anchor_frame < b.anchor_frame;
    };
    EXPECT_TRUE(std::is_sorted(query.begin(), query.end(), order));
    EXPECT_TRUE(
        std::includes(query.begin(), query.end(), reference.begin(), reference.end(), order))
        << "seed " << seed;
  }
}

struct ExcerptCase {
  const char* name;
  double speed;   // query speed relative to the reference
  double snr_db;  // of added white noise; infinity for none
};

// Test names, not bytes, in failure messages and CTest's list.
void PrintTo(const ExcerptCase& c, std::ostream* os) { *os << c.name; }

class ExcerptTest : public ::testing::TestWithParam<ExcerptCase> {};

TEST_P(ExcerptTest, AlignsWithItsRecordingOnly) {
  const ExcerptCase& c = GetParam();
  Audio recording = testing::makeMelody(21, 40, kAnalysisSampleRateHz, 1);
  Audio unrelated = testing::makeMelody(22, 40, kAnalysisSampleRateHz, 1);
  std::vector<Landmark> reference = ReferenceLandmarks(Fingerprint(recording));
  std::vector<Landmark> other = ReferenceLandmarks(Fingerprint(unrelated));

  const double start_s = 13.37;
  Audio query = testing::excerpt(recording, start_s, 10);
  if (std::isfinite(c.snr_db)) {
    query =
        testing::addNoise(query, testing::makeNoise(5, 11, 0.2, kAnalysisSampleRateHz), c.snr_db);
  }
  if (c.speed != 1) query = ChangeSpeed(query, c.speed);
  std::vector<Landmark> landmarks = QueryLandmarks(Fingerprint(query));

  int offset = 0;
  int aligned = BestAlignedCount(reference, landmarks, c.speed, &offset);
  int chance = BestAlignedCount(other, landmarks, c.speed);
  // About 50 reference landmarks a second: a tenth of a 10-s excerpt's is
  // far beyond chance, which stays in single figures.
  EXPECT_GE(aligned, 50) << c.name;
  EXPECT_LE(chance, 10) << c.name;
  EXPECT_NEAR(offset * kFrameDurationS, start_s, 0.1) << c.name;
}

INSTANTIATE_TEST_SUITE_P(Fingerprint, ExcerptTest,
                         ::testing::Values(ExcerptCase{"Clean", 1.0, INFINITY},
                                           ExcerptCase{"Noise10dB", 1.0, 10},
                                           ExcerptCase{"Noise0dB", 1.0, 0},
                                           ExcerptCase{"Faster3Percent", 1.03, INFINITY},
                                           ExcerptCase{"Slower5Percent", 0.95, INFINITY},
                                           ExcerptCase{"Faster5PercentNoisy", 1.05, 10}),
                         [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace plim::fingerprint
