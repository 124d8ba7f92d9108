// One match, from a signature to the outcome, against a catalog of
// generated recordings: the lookups, the alignment and the decision.

#include <benchmark/benchmark.h>

#include <memory>

#include "platform/avfaudio/av_audio_pcm_buffer.h"
#include "platform/catalog/lmdb/catalog.h"
#include "platform/matching/matcher.h"
#include "platform/shazamkit/sh_signature_generator.h"
#include "tests/support/audio_fixtures.h"

namespace {

using namespace plim;

constexpr int kRecordings = 40;
constexpr double kRecordingS = 60;

shazamkit::SHSignature Sign(const testing::Audio& audio) {
  auto frames = static_cast<avfaudio::AVAudioFrameCount>(audio.frameCount());
  auto buffer = avfaudio::AVAudioPCMBuffer::initWithPCMFormat(
      avfaudio::AVAudioFormat(audio.sample_rate_hz, 1), frames);
  std::copy(audio.samples.begin(), audio.samples.end(), buffer->floatChannelData()[0]);
  buffer->setFrameLength(frames);
  shazamkit::SHSignatureGenerator generator;
  generator.appendBuffer(*buffer);
  return generator.signature();
}

// The catalog, made once for every benchmark of the run.
struct Fixture {
  testing::TemporaryDirectory directory;
  std::unique_ptr<catalog::Catalog> catalog;
  std::vector<fingerprint::Landmark> query;
  fingerprint::Constellation query_peaks;

  Fixture() {
    catalog = catalog::Catalog::Open(directory.file("catalog"), catalog::Catalog::Mode::kReadWrite);
    std::vector<catalog::NewRecording> batch;
    for (int i = 0; i < kRecordings; ++i) {
      testing::Audio audio = testing::makeMelody(500 + i, kRecordingS, 16000, 1);
      catalog::NewRecording item;
      item.recording.title = "Melody " + std::to_string(i);
      item.recording.duration_s = kRecordingS;
      item.recording.content_hash = std::to_string(i);
      shazamkit::SHSignature reference = Sign(audio);
      item.landmarks = reference.ReferenceLandmarks();
      item.peaks = reference.ReferencePeaks();
      batch.push_back(std::move(item));
      if (i == kRecordings / 2) {
        shazamkit::SHSignature signature = Sign(testing::excerpt(audio, 23.4, 10));
        query = signature.QueryLandmarks();
        query_peaks = signature.constellation();
      }
    }
    catalog->Add(batch);
  }
};

Fixture& SharedFixture() {
  static Fixture fixture;
  return fixture;
}

void BM_FindMatches10sQuery(benchmark::State& state) {
  Fixture& f = SharedFixture();
  for (auto _ : state) {
    catalog::Catalog::Reader reader = f.catalog->NewReader();
    matching::MatchReport report = matching::FindMatches(reader, f.query, f.query_peaks);
    if (report.candidates.empty() || !report.candidates[0].accepted)
      state.SkipWithError("no match");
    benchmark::DoNotOptimize(report);
  }
  state.counters["query_landmarks"] = static_cast<double>(f.query.size());
}
BENCHMARK(BM_FindMatches10sQuery)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
