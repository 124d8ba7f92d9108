// The catalog's speed and size: `plim-catalog add` on Ogg Vorbis files
// against decoding the same files alone on as many threads; data.mdb's
// bytes per hour of audio as recordings are added one at a time; index
// lookups in a 10-hour and a 100-hour catalog.

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <map>
#include <random>
#include <thread>

#include "platform/avfaudio/av_audio_file.h"
#include "platform/catalog/lmdb/catalog.h"
#include "platform/foundation/url.h"
#include "platform/shazamkit/sh_signature_generator.h"
#include "tests/support/audio_fixtures.h"
#include "tools/plim-catalog/add_command.h"

namespace {

using namespace plim;

constexpr int kFiles = 8;
constexpr double kFileS = 45;
constexpr double kRecordingS = 60;

// The Ogg Vorbis files, made once.
const std::vector<std::string>& OggFiles() {
  static testing::TemporaryDirectory directory;
  static std::vector<std::string> files;
  if (files.empty()) {
    for (int i = 0; i < kFiles; ++i) {
      std::string wav = directory.file("source.wav");
      testing::writeWav(testing::makeMelody(static_cast<std::uint32_t>(100 + i), kFileS, 44100, 2),
                        wav);
      files.push_back(directory.file("song" + std::to_string(i) + ".ogg"));
      testing::runFfmpeg(wav, {"-c:a", "libvorbis", "-q:a", "5"}, files.back());
    }
    std::filesystem::remove(directory.file("source.wav"));
  }
  return files;
}

void ReportRealTime(benchmark::State& state) {
  state.counters["x_real_time"] = benchmark::Counter(
      kFiles * kFileS * static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}

// A synthetic recording's record, numbered `r`; its landmarks are the caller's.
catalog::NewRecording SyntheticRecording(int r, double duration_s) {
  catalog::NewRecording item;
  item.recording.title = "Recording " + std::to_string(r);
  item.recording.content_hash = std::to_string(r);
  item.recording.duration_s = duration_s;
  item.recording.source_path = "/music/" + std::to_string(r) + ".ogg";
  return item;
}

// Decoding alone, in the same 2-s chunks and on the same number of threads
// as the add below: the ceiling for add's throughput.
void BM_DecodeOnly(benchmark::State& state) {
  const std::vector<std::string>& files = OggFiles();
  const auto jobs = static_cast<unsigned>(state.range(0));
  for (auto _ : state) {
    std::atomic<std::size_t> next{0};
    std::vector<std::thread> threads;
    for (unsigned j = 0; j < jobs; ++j) {
      threads.emplace_back([&] {
        for (std::size_t i; (i = next.fetch_add(1)) < files.size();) {
          auto file =
              avfaudio::AVAudioFile::initForReading(foundation::URL::fileURLWithPath(files[i]));
          auto buffer = avfaudio::AVAudioPCMBuffer::initWithPCMFormat(
              file->processingFormat(),
              static_cast<avfaudio::AVAudioFrameCount>(file->processingFormat().sampleRate() * 2));
          do {
            file->readIntoBuffer(*buffer);
            benchmark::DoNotOptimize(buffer->floatChannelData()[0][0]);
          } while (buffer->frameLength() > 0);
        }
      });
    }
    for (std::thread& t : threads) t.join();
  }
  ReportRealTime(state);
}
BENCHMARK(BM_DecodeOnly)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)->UseRealTime();

// The whole add into a fresh catalog: decode, fingerprint, hash, tags, write.
void BM_Add(benchmark::State& state) {
  const std::vector<std::string>& files = OggFiles();
  testing::TemporaryDirectory directory;
  // The command's summary line would interleave with the report.
  int saved_stderr = dup(STDERR_FILENO);
  int null_fd = open("/dev/null", O_WRONLY);
  int run = 0;
  double bytes_per_hour = 0;
  for (auto _ : state) {
    GlobalOptions global;
    global.catalog_directory = directory.file("catalog" + std::to_string(run++));
    AddCommandOptions options;
    options.paths = files;
    options.jobs = static_cast<unsigned>(state.range(0));
    dup2(null_fd, STDERR_FILENO);
    int status = RunAddCommand(global, options);
    dup2(saved_stderr, STDERR_FILENO);
    if (status != 0) state.SkipWithError("add failed");
    state.PauseTiming();
    auto catalog =
        catalog::Catalog::Open(global.catalog_directory, catalog::Catalog::Mode::kReadOnly);
    auto reader = catalog->NewReader();
    state.counters["landmarks_per_s"] =
        static_cast<double>(reader.LandmarkCount()) / reader.TotalDurationS();
    bytes_per_hour = static_cast<double>(catalog->MeasureDiskUsage().database_used_bytes) /
                     (reader.TotalDurationS() / 3600);
    state.ResumeTiming();
  }
  close(null_fd);
  close(saved_stderr);
  state.counters["bytes_per_hour_small_catalog"] = bytes_per_hour;
  ReportRealTime(state);
}
BENCHMARK(BM_Add)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)->UseRealTime();

// A catalog filled the way `plim-catalog add` fills it, one 4-minute
// recording per change, with 50 landmarks a second of uniformly random
// hashes: how big data.mdb grows, and how fast recordings go in.
void BM_SizeAddingOneAtATime(benchmark::State& state) {
  const double hours = static_cast<double>(state.range(0));
  constexpr double kSizeRecordingS = 240;
  constexpr double kLandmarksPerS = 50;
  const int recordings = static_cast<int>(hours * 3600 / kSizeRecordingS);
  testing::TemporaryDirectory directory;
  int run = 0;
  for (auto _ : state) {
    state.PauseTiming();
    auto catalog = catalog::Catalog::Open(directory.file("catalog" + std::to_string(run++)),
                                          catalog::Catalog::Mode::kReadWrite);
    std::mt19937 rng(1);
    state.ResumeTiming();
    for (int r = 0; r < recordings; ++r) {
      catalog::NewRecording item = SyntheticRecording(r, kSizeRecordingS);
      const int landmarks = static_cast<int>(kSizeRecordingS * kLandmarksPerS);
      for (int i = 0; i < landmarks; ++i) {
        item.landmarks.push_back(
            {static_cast<std::uint32_t>(rng()) & ((1u << fingerprint::kHashBits) - 1),
             static_cast<std::uint32_t>(i / kLandmarksPerS / fingerprint::kFrameDurationS)});
      }
      catalog->Add({&item, 1});
    }
    state.PauseTiming();
    catalog::DiskUsage usage = catalog->MeasureDiskUsage();
    state.counters["file_bytes_per_hour"] = static_cast<double>(usage.database_file_bytes) / hours;
    state.counters["used_bytes_per_hour"] = static_cast<double>(usage.database_used_bytes) / hours;
    catalog.reset();
    state.ResumeTiming();
  }
  state.counters["x_real_time"] = benchmark::Counter(
      hours * 3600 * static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_SizeAddingOneAtATime)
    ->Arg(1)
    ->Arg(10)
    ->Unit(benchmark::kSecond)
    ->Iterations(1)
    ->UseRealTime();

// Catalogs of 60-s recordings with real landmark statistics: the landmarks
// of one fingerprinted melody, their hashes scrambled per recording.
struct LookupCatalog {
  testing::TemporaryDirectory directory;
  std::unique_ptr<catalog::Catalog> catalog;
  std::vector<std::uint32_t> hashes;  // a sample of hashes that are in the index
  double build_s = 0;
};

LookupCatalog* BuildLookupCatalog(double hours) {
  auto* c = new LookupCatalog;
  testing::Audio audio = testing::makeMelody(7, kRecordingS, 44100, 1);
  auto frames = static_cast<avfaudio::AVAudioFrameCount>(audio.frameCount());
  auto buffer =
      avfaudio::AVAudioPCMBuffer::initWithPCMFormat(avfaudio::AVAudioFormat(44100, 1), frames);
  std::copy(audio.samples.begin(), audio.samples.end(), buffer->floatChannelData()[0]);
  buffer->setFrameLength(frames);
  shazamkit::SHSignatureGenerator generator;
  generator.appendBuffer(*buffer);
  std::vector<fingerprint::Landmark> base = generator.signature().ReferenceLandmarks();

  c->catalog =
      catalog::Catalog::Open(c->directory.file("catalog"), catalog::Catalog::Mode::kReadWrite);
  const int recordings = static_cast<int>(hours * 3600 / kRecordingS);
  const int sample_every = std::max(1, recordings / 200);
  auto start = std::chrono::steady_clock::now();
  std::vector<catalog::NewRecording> batch;
  for (int r = 0; r < recordings; ++r) {
    catalog::NewRecording item = SyntheticRecording(r, kRecordingS);
    for (fingerprint::Landmark l : base) {
      l.hash = (l.hash + static_cast<std::uint32_t>(r) * 0x9E3779B1u) & 0x3FFFFFF;
      item.landmarks.push_back(l);
      if (r % sample_every == 0 && c->hashes.size() < 100000) c->hashes.push_back(l.hash);
    }
    batch.push_back(std::move(item));
    if (batch.size() == 16) {
      c->catalog->Add(batch);
      batch.clear();
    }
  }
  if (!batch.empty()) c->catalog->Add(batch);
  c->build_s = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::shuffle(c->hashes.begin(), c->hashes.end(), std::mt19937(1));
  return c;
}

// One catalog per size, made on first use and kept for the process.
LookupCatalog& TheLookupCatalog(int hours) {
  static std::map<int, LookupCatalog*> built;
  LookupCatalog*& c = built[hours];
  if (c == nullptr) c = BuildLookupCatalog(hours);
  return *c;
}

void BM_Lookup(benchmark::State& state) {
  LookupCatalog& c = TheLookupCatalog(static_cast<int>(state.range(0)));
  constexpr int kLookupsPerMatch = 2000;
  std::vector<catalog::Posting> postings;
  postings.reserve(1 << 16);
  std::size_t i = 0, found = 0;
  for (auto _ : state) {
    auto reader = c.catalog->NewReader();
    // A match's worth of lookups on one snapshot.
    postings.clear();
    for (int k = 0; k < kLookupsPerMatch; ++k) {
      reader.Lookup(c.hashes[i++ % c.hashes.size()], postings);
    }
    found += postings.size();
  }
  auto reader = c.catalog->NewReader();
  const double lookups = kLookupsPerMatch * static_cast<double>(state.iterations());
  state.counters["s_per_lookup"] =
      benchmark::Counter(lookups, benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
  state.counters["postings_per_lookup"] = static_cast<double>(found) / lookups;
  state.counters["catalog_hours"] = reader.TotalDurationS() / 3600;
  state.counters["postings"] = static_cast<double>(reader.LandmarkCount());
  state.counters["bytes_per_hour"] =
      static_cast<double>(c.catalog->MeasureDiskUsage().database_file_bytes) /
      (reader.TotalDurationS() / 3600);
  state.counters["add_x_real_time_index_only"] = reader.TotalDurationS() / c.build_s;
}
BENCHMARK(BM_Lookup)->Arg(10)->Arg(100)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
