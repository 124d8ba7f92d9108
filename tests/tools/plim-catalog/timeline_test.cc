// The timeline's parts in-process: windows of a stream hold the stream's own
// peaks at the right times; window matches join into the right stretches,
// each said as soon as it is sure.

#include "tools/plim-catalog/timeline.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <random>

#include "platform/catalog/catalog_store.h"
#include "platform/fingerprint/landmark_hasher.h"
#include "platform/shazamkit/sh_signature_generator.h"
#include "tests/platform/avfaudio/read_audio.h"
#include "tests/support/audio_fixtures.h"
#include "tools/plim-catalog/outline_heard.h"
#include "tools/plim-catalog/stretch_edges.h"
#include "tools/plim-catalog/stretch_tracker.h"
#include "tools/plim-catalog/window_follower.h"
#include "tools/plim-catalog/windowed_fingerprinter.h"

namespace plim {
namespace {

using testing::bufferOf;

TEST(WindowedFingerprinterTest, WindowsHoldTheWholeStreamsPeaksAtTheirTimes) {
  // Odd buffer sizes, one larger than a hop: hops open and close mid-buffer.
  const testing::Audio audio = testing::makeMelody(5, 23, 22050, 1);
  shazamkit::SHSignatureGenerator whole;
  whole.appendBuffer(*bufferOf(audio, 0, audio.frameCount()));
  const fingerprint::Constellation expected_all = whole.signature().constellation();
  const std::vector<fingerprint::Peak>& expected = expected_all.peaks;
  std::vector<AudioWindow> windows;
  WindowedFingerprinter fingerprinter(avfaudio::AVAudioFormat(22050, 1),
                                      [&](AudioWindow w) { windows.push_back(std::move(w)); });
  for (std::int64_t at = 0, size = 7001; at < audio.frameCount();
       at += size, size = 140001 - size) {
    fingerprinter.Append(*bufferOf(audio, at, std::min(size, audio.frameCount() - at)));
  }
  fingerprinter.Finish();

  // 23 s: windows start every 5.12 s up to 15.36 s, the last cut at the end.
  ASSERT_EQ(windows.size(), 4u);
  EXPECT_NEAR(windows.back().peaks.duration_s, 23 - 3 * kWindowHopS, 0.01);
  for (std::size_t w = 0; w < windows.size(); ++w) {
    SCOPED_TRACE(w);
    EXPECT_DOUBLE_EQ(windows[w].start_s, static_cast<double>(w) * kWindowHopS);
    const auto start_q =
        static_cast<std::uint32_t>(w * kWindowHopFrames * fingerprint::kTimeSubdivisions);
    std::vector<fingerprint::Peak> in_window;
    for (fingerprint::Peak p : expected) {
      if (p.time_q < start_q || p.TimeFrames() - start_q / 16.0 >= 2 * kWindowHopFrames) continue;
      p.time_q -= start_q;
      in_window.push_back(p);
    }
    const std::vector<fingerprint::Peak>& got = windows[w].peaks.peaks;
    ASSERT_TRUE(std::is_sorted(got.begin(), got.end(),
                               [](const auto& a, const auto& b) { return a.time_q < b.time_q; }));
    std::size_t same = 0;
    for (const fingerprint::Peak& p : got)
      same += std::count(in_window.begin(), in_window.end(), p);
    // Resampling starts afresh at each hop's margin; the peaks near it may move a little.
    EXPECT_GE(same, 0.95 * static_cast<double>(in_window.size()));
    EXPECT_LE(got.size(), in_window.size() + in_window.size() / 20);
    // Its outline is the stream's over the same frames, to a level or so.
    const std::vector<std::uint8_t>& levels = windows[w].outline.levels;
    const std::size_t first = w * kWindowHopFrames / fingerprint::kOutlineFrameSpan;
    ASSERT_EQ(levels.size(), std::min<std::size_t>(2 * kWindowHopFrames / 2,
                                                   expected_all.outline.frames() - first) *
                                 fingerprint::kOutlineBands);
    double difference = 0;
    for (std::size_t i = 0; i < levels.size(); ++i) {
      difference += std::abs(levels[i] - expected_all.outline.levels[first * 32 + i]);
    }
    EXPECT_LT(difference / static_cast<double>(levels.size()), 1.0);
  }
}

TEST(WindowedFingerprinterTest, PreviewsHoldTheirWindowsPeaksAsFarAsTheyGo) {
  const testing::Audio audio = testing::makeMelody(5, 23, 22050, 1);
  struct Handed {
    bool preview;
    AudioWindow window;
  };
  std::vector<Handed> handed;
  WindowedFingerprinter fingerprinter(
      avfaudio::AVAudioFormat(22050, 1),
      [&](AudioWindow w) {
        handed.push_back({false, std::move(w)});
      },
      [&](AudioWindow w) {
        handed.push_back({true, std::move(w)});
      });
  for (std::int64_t at = 0; at < audio.frameCount(); at += 2205) {
    fingerprinter.Append(
        *bufferOf(audio, at, std::min<std::int64_t>(2205, audio.frameCount() - at)));
  }
  fingerprinter.Finish();

  // Windows at 0, 5.12 and 10.24 s are previewed at 6.4, 7.68 and 8.96 s
  // of their length; the one at 15.36 s at 6.4 s, before the stream ends.
  std::vector<double> previews;
  for (std::size_t i = 0; i < handed.size(); ++i) {
    if (!handed[i].preview) continue;
    const AudioWindow& preview = handed[i].window;
    SCOPED_TRACE(preview.start_s);
    previews.push_back(preview.peaks.duration_s);
    // The whole window comes next, once its previews are out.
    auto whole = std::find_if(handed.begin() + static_cast<std::ptrdiff_t>(i), handed.end(),
                              [](const Handed& h) { return !h.preview; });
    ASSERT_NE(whole, handed.end());
    EXPECT_DOUBLE_EQ(whole->window.start_s, preview.start_s);
    std::vector<fingerprint::Peak> expected;
    for (const fingerprint::Peak& p : whole->window.peaks.peaks) {
      if (p.TimeFrames() * fingerprint::kFrameDurationS < preview.peaks.duration_s - 1e-9) {
        expected.push_back(p);
      }
    }
    EXPECT_FALSE(expected.empty());
    EXPECT_EQ(preview.peaks.peaks, expected);
  }
  const double step_s = kPreviewStepFrames * fingerprint::kFrameDurationS;
  const double first = kWindowHopS + step_s, second = first + step_s, third = second + step_s;
  EXPECT_EQ(previews.size(), 10u);
  for (std::size_t i = 0; i < previews.size(); ++i) {
    EXPECT_NEAR(previews[i], (i % 3 == 0 ? first : i % 3 == 1 ? second : third), 1e-9) << i;
  }
}

TEST(JoinWindowMatchesTest, JoinsWindowsThatAgreeAndNoOthers) {
  const double hop = kWindowHopS;
  // Window k of recording `id` with its start at file time `anchor_s`, playing at `speed`.
  auto at = [&](int k, catalog::RecordingId id, double anchor_s, double speed = 1) {
    WindowMatch m;
    m.window_start_s = k * hop;
    m.recording = id;
    m.recording_duration_s = 200;
    m.speed = speed;
    m.offset_s = (m.window_start_s - anchor_s) * speed;
    m.confidence = 0.5 + 0.01 * k;
    return m;
  };
  struct Case {
    const char* what;
    std::vector<WindowMatch> matches;
    std::vector<std::pair<catalog::RecordingId, double>> expected;  // recording, start
  };
  const Case cases[] = {
      {"one recording, a window missed, 3% fast",
       {at(0, 1, -20, 1.03), at(1, 1, -20.5, 1.03), at(3, 1, -20, 1.03)},
       {{1, 0}}},
      {"a quiet passage at the same alignment", {at(0, 1, 0), at(10, 1, 0)}, {{1, 0}}},
      {"heard again after a gap, elsewhere: two stretches",
       {at(0, 1, 0), at(5, 1, -60)},
       {{1, 0}, {1, 5 * hop}}},
      {"heard again long after: two stretches",
       {at(0, 1, 0), at(20, 1, 0)},
       {{1, 0}, {1, 20 * hop}}},
      {"another recording between: two stretches",
       {at(0, 1, 0), at(1, 1, 0), at(2, 2, 2 * hop), at(3, 2, 2 * hop), at(4, 1, 0), at(5, 1, 0)},
       {{1, 0}, {2, 2 * hop}, {1, 4 * hop}}},
      {"the recording starts within the first window",
       {at(0, 1, 4), at(1, 1, 4), at(2, 1, 4)},
       {{1, 4}}},
      {"loops: each window at another repeat",
       {at(0, 1, 0), at(1, 1, -20), at(2, 1, -40), at(3, 1, 0)},
       {{1, 0}}},
      {"a crossfade, any order",
       {at(2, 2, 8), at(1, 1, -100), at(2, 1, -100), at(3, 2, 8)},
       {{1, hop}, {2, 2 * hop}}},
      {"two alignments in one window",
       {at(0, 1, 0), at(1, 1, 0), at(1, 1, -60), at(2, 1, 0)},
       {{1, 0}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::vector<Stretch> got = JoinWindowMatches(c.matches, hop);
    ASSERT_EQ(got.size(), c.expected.size());
    for (std::size_t i = 0; i < got.size(); ++i) {
      EXPECT_EQ(got[i].recording, c.expected[i].first);
      EXPECT_NEAR(got[i].start_s, c.expected[i].second, 1e-9);
      EXPECT_GE(got[i].recording_offset_s, 0);
      EXPECT_GT(got[i].end_s, got[i].start_s);
    }
  }
  // Heard for a moment only: nothing.
  std::vector<WindowMatch> moment = {at(0, 1, 0)};
  moment[0].heard_s = {{3, 6}};
  EXPECT_TRUE(JoinWindowMatches(moment, hop).empty());
  // Where the windows hear it, within the recording's own end; median speed, best confidence.
  std::vector<WindowMatch> heard = {at(0, 1, -20, 1.03), at(1, 1, -20, 1.02), at(2, 1, -20, 1.03)};
  heard[0].heard_s = {{2, 10}};
  heard[2].heard_s = {{12, 14}};
  heard[2].recording_duration_s = 30;
  const std::vector<Stretch> got = JoinWindowMatches(heard, hop);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].start_s, 2);
  EXPECT_NEAR(got[0].end_s, -20 + 30 / 1.03, 1e-9);
  EXPECT_NEAR(got[0].recording_offset_s, 22 * 1.03, 1e-9);
  EXPECT_EQ(got[0].speed, 1.03);
  EXPECT_EQ(got[0].confidence, 0.52);
  EXPECT_EQ(got[0].windows, 3);
}

TEST(EdgeReachSecondsTest, MovesOutWhileHeardAndStopsWhereItFailsOrARivalIsHeardBetter) {
  struct Case {
    const char* what;
    std::vector<double> own, rival;  // evidence a second, the nearest to the edge first
    std::size_t expected;
  };
  const Case cases[] = {
      {"heard to the last second", {8, 6, 4}, {0, 0, 0}, 3},
      {"a quiet passage: on through it", {8, 0, 0, 5}, {0, 0, 0, 0}, 4},
      {"one second lost, then heard again", {8, -5, 9, 7}, {0, 0, 0, 0}, 4},
      {"two seconds missing: stops, whatever comes after", {8, -6, -6, 30}, {0, 0, 0, 0}, 1},
      {"a crossfade: stops where the rival is heard better",
       {20, 20, 12, 9, 6},
       {0, 4, 10, 25, 40},
       3},
      {"a rival not heard counts for nothing", {8, 6}, {-5, -5}, 2},
      {"nothing heard beyond the edge", {-2, 1}, {0, 0}, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(EdgeReachSeconds(c.own, c.rival), c.expected);
  }
}

TEST(OutlineHeardSpanTest, HearsTheRecordingAtItsAlignmentEvenWhereAPhraseRepeats) {
  // A reference outline of random band levels, 40 s; in one, the 8 s from
  // 20 s are played again from 28 s. A window from 100 s holds its 20-30 s
  // under noise (the recording aligned there), or an unrelated outline.
  constexpr std::size_t kFrames = 625;  // 40 s
  const auto frame_at = [](double s) {
    return static_cast<std::size_t>(s / fingerprint::kOutlineFrameDurationS);
  };
  std::mt19937 random(7);
  const auto random_outline = [&](std::size_t frames) {
    fingerprint::BandOutline o;
    std::uniform_int_distribution<int> level(0, 255);
    for (std::size_t i = 0; i < frames * fingerprint::kOutlineBands; ++i) {
      o.levels.push_back(static_cast<std::uint8_t>(level(random)));
    }
    return o;
  };
  const auto frames_of = [&](const fingerprint::BandOutline& o, std::size_t from, std::size_t to) {
    fingerprint::BandOutline part;
    part.levels.assign(o.levels.begin() + from * fingerprint::kOutlineBands,
                       o.levels.begin() + to * fingerprint::kOutlineBands);
    return part;
  };
  const fingerprint::BandOutline plain = random_outline(kFrames);
  fingerprint::BandOutline repeated = plain;
  std::copy(plain.levels.begin() + frame_at(20) * fingerprint::kOutlineBands,
            plain.levels.begin() + frame_at(28) * fingerprint::kOutlineBands,
            repeated.levels.begin() + frame_at(28) * fingerprint::kOutlineBands);
  const auto noisy = [&](fingerprint::BandOutline o) {
    std::uniform_int_distribution<int> noise(-40, 40);
    for (std::uint8_t& v : o.levels)
      v = static_cast<std::uint8_t>(std::clamp(v + noise(random), 0, 255));
    return o;
  };
  const struct {
    const char* name;
    const fingerprint::BandOutline& reference;
    fingerprint::BandOutline window;
    bool heard;
  } cases[] = {
      {"the recording", plain, noisy(frames_of(plain, frame_at(20), frame_at(30))), true},
      {"a repeated phrase", repeated, noisy(frames_of(repeated, frame_at(20), frame_at(30))), true},
      {"another recording", plain, noisy(random_outline(frame_at(10))), false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    plim::testing::TemporaryDirectory temp;
    catalog::NewRecording item;
    item.recording.title = "Outline";
    item.recording.content_hash = "outline";
    item.recording.duration_s = 40;
    item.outline = c.reference;
    const catalog::RecordingId id =
        catalog::OpenCatalogStore(temp.path(), catalog::CatalogStore::Mode::kReadWrite)
            ->Add(std::span(&item, 1))[0]
            .id;
    const auto store =
        catalog::OpenCatalogStore(temp.path(), catalog::CatalogStore::Mode::kReadOnly);
    const std::optional<std::pair<double, double>> span = OutlineHeardSpan(
        *store->NewCatalogReader(), c.window, 100,
        {.recording = id, .anchor_s = 80, .speed = 1, .frequency_scale = 1, .duration_s = 40});
    ASSERT_EQ(span.has_value(), c.heard);
    // Heard from the window's start through the start of its last segment.
    if (span) {
      EXPECT_GE(span->second, 100 + 10 - kOutlineHeardSegmentS);
    }
  }
}

TEST(StretchTrackerTest, SaysEachStartAndEndAsSoonAsItIsSureAndEndsAsTheWholeFileDoes) {
  const double hop = kWindowHopS;
  // Recording 1 in windows 0-5, recording 2 in windows 6-20, then nothing.
  std::vector<WindowMatch> all;
  for (int k = 0; k <= 20; ++k) {
    WindowMatch m;
    m.window_start_s = k * hop;
    m.recording = k <= 5 ? 1 : 2;
    m.recording_duration_s = 200;
    m.offset_s = m.window_start_s - (k <= 5 ? 0 : 6 * hop);
    m.confidence = 0.5;
    all.push_back(m);
  }
  struct Event {
    int window;  // being added when it was said; -1 at Finish
    bool start;
    Stretch stretch;
  };
  std::vector<Event> events;
  int window = 0;
  StretchTracker tracker(
      hop,
      [&](const Stretch& s) {
        events.push_back({window, true, s});
      },
      [&](const Stretch& s) {
        events.push_back({window, false, s});
      });
  for (; window <= 24; ++window) {
    const bool heard = window <= 20;
    tracker.AddWindow(window * hop, std::span(all).subspan(window, heard ? 1 : 0));
  }
  window = -1;
  tracker.Finish();

  ASSERT_EQ(events.size(), 4u);
  // Each start with its first window (two hops long); 1's end once 2 is sure
  // and a window of 1 could no longer join; 2's end only when the stream ends.
  const Event expected[] = {{0, true, {}}, {6, true, {}}, {8, false, {}}, {-1, false, {}}};
  const std::vector<Stretch> whole = JoinWindowMatches(all, hop);
  ASSERT_EQ(whole.size(), 2u);
  for (std::size_t i = 0; i < events.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(events[i].window, expected[i].window);
    EXPECT_EQ(events[i].start, expected[i].start);
    const Stretch& same = whole[events[i].stretch.recording - 1];
    EXPECT_EQ(events[i].stretch.start_s, same.start_s);
    if (!events[i].start) {
      EXPECT_EQ(events[i].stretch.end_s, same.end_s);
    }
  }
}

TEST(WindowFollowerTest, FollowsARecordingByItsOutlineWhereItsPeaksAreLost) {
  // Melody 87 (in the catalog) for 40 s, then 15 s of one it lacks, under
  // pink noise 10 dB down; from 20 s the windows lose every peak, as a
  // passage quieter than the noise does, and keep their outline.
  const testing::Audio melody = testing::makeMelody(87, 40, 22050, 1);
  plim::testing::TemporaryDirectory temp;
  {
    shazamkit::SHSignatureGenerator generator;
    generator.appendBuffer(*bufferOf(melody, 0, melody.frameCount()));
    const shazamkit::SHSignature signature = generator.signature();
    catalog::NewRecording item;
    item.recording.title = "Melody 87";
    item.recording.content_hash = "melody-87";
    item.recording.duration_s = 40;
    item.landmarks = fingerprint::ReferenceLandmarks(signature.constellation());
    item.peaks = signature.ReferencePeaks();
    item.outline = signature.constellation().outline;
    catalog::OpenCatalogStore(temp.path(), catalog::CatalogStore::Mode::kReadWrite)
        ->Add(std::span(&item, 1));
  }
  const auto store = catalog::OpenCatalogStore(temp.path(), catalog::CatalogStore::Mode::kReadOnly);
  const auto reader = store->NewCatalogReader();
  const testing::Audio clean =
      testing::concatenate({melody, testing::makeMelody(88, 15, 22050, 1)});
  const testing::Audio stream =
      testing::addNoise(clean, testing::makePinkNoise(9, 55, 0.1, 22050, 1), 10);
  constexpr double kPeaksLostFromS = 20;

  for (const bool lost : {false, true}) {
    SCOPED_TRACE(lost ? "peaks lost from 20 s" : "peaks kept");
    std::vector<WindowMatch> matches;
    WindowFollower follower(
        *reader,
        [&](double, std::vector<WindowMatch> ms) {
          matches.insert(matches.end(), ms.begin(), ms.end());
        },
        [&](const WindowMatch& before, const WindowMatch& after) {
          for (WindowMatch& m : matches) {
            if (SameMatch(m, before)) m = after;
          }
        });
    WindowedFingerprinter windows(avfaudio::AVAudioFormat(22050, 1), [&](AudioWindow w) {
      if (lost) {
        std::erase_if(w.peaks.peaks, [&](const fingerprint::Peak& p) {
          return w.start_s + p.TimeFrames() * fingerprint::kFrameDurationS >= kPeaksLostFromS;
        });
      }
      follower.Follow(std::move(w));
    });
    windows.Append(*bufferOf(stream, 0, stream.frameCount()));
    windows.Finish();
    follower.Finish();
    const std::vector<Stretch> stretches = JoinWindowMatches(matches, kWindowHopS);
    ASSERT_EQ(stretches.size(), 1u);
    EXPECT_NEAR(stretches[0].start_s, 0, 1.5);
    EXPECT_NEAR(stretches[0].end_s, 40, 3);
  }
}

}  // namespace
}  // namespace plim
