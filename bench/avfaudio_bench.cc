// Speed of the audio layer on a 60-s stereo 44.1-kHz recording: opening a
// file, counting its frames with length(), and decoding it whole in chunks
// as plim-catalog does. Counters give times real time.

#include <benchmark/benchmark.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/avfaudio/av_audio_file.h"
#include "platform/foundation/url.h"
#include "tests/support/audio_fixtures.h"

namespace {

using namespace plim;

constexpr double kAudioS = 60;

// The recording in each format, made once for all benchmarks.
const std::string& EncodedFile(const std::string& extension) {
  static testing::TemporaryDirectory directory;
  static std::map<std::string, std::string> paths;
  auto found = paths.find(extension);
  if (found != paths.end()) return found->second;
  const std::string wav = directory.file("source.wav");
  if (paths.empty()) testing::writeWav(testing::makeMelody(1, kAudioS, 44100, 2), wav);
  static const std::map<std::string, std::vector<std::string>> kArguments = {
      {"wav", {}},
      {"mp3", {"-c:a", "libmp3lame"}},
      {"ogg", {"-c:a", "libvorbis"}},
      {"flac", {"-c:a", "flac"}},
      {"opus", {"-c:a", "libopus"}},
      {"m4a", {"-c:a", "aac"}},
  };
  std::string path = wav;
  if (extension != "wav") {
    path = directory.file("encoded." + extension);
    testing::runFfmpeg(wav, kArguments.at(extension), path);
  }
  return paths.emplace(extension, path).first->second;
}

void ReportRealTime(benchmark::State& state) {
  state.counters["x_real_time"] = benchmark::Counter(
      kAudioS * static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}

std::unique_ptr<avfaudio::AVAudioFile> Open(const std::string& extension) {
  return avfaudio::AVAudioFile::initForReading(
      foundation::URL::fileURLWithPath(EncodedFile(extension)));
}

void BM_Open(benchmark::State& state, const std::string& extension) {
  EncodedFile(extension);
  for (auto _ : state) benchmark::DoNotOptimize(Open(extension));
}

// Opening included: the scan is this less BM_Open.
void BM_Length(benchmark::State& state, const std::string& extension) {
  EncodedFile(extension);
  for (auto _ : state) benchmark::DoNotOptimize(Open(extension)->length());
  ReportRealTime(state);
}

void BM_Decode(benchmark::State& state, const std::string& extension) {
  EncodedFile(extension);
  for (auto _ : state) {
    auto file = Open(extension);
    auto buffer = avfaudio::AVAudioPCMBuffer::initWithPCMFormat(file->processingFormat(), 16384);
    do {
      file->readIntoBuffer(*buffer);
    } while (buffer->frameLength() > 0);
    benchmark::DoNotOptimize(file->framePosition());
  }
  ReportRealTime(state);
}

#define PLIM_AUDIO_BENCHMARKS(extension)                                              \
  BENCHMARK_CAPTURE(BM_Open, extension, #extension)->Unit(benchmark::kMillisecond);   \
  BENCHMARK_CAPTURE(BM_Length, extension, #extension)->Unit(benchmark::kMillisecond); \
  BENCHMARK_CAPTURE(BM_Decode, extension, #extension)->Unit(benchmark::kMillisecond)

PLIM_AUDIO_BENCHMARKS(mp3);
PLIM_AUDIO_BENCHMARKS(ogg);
PLIM_AUDIO_BENCHMARKS(flac);
PLIM_AUDIO_BENCHMARKS(opus);
PLIM_AUDIO_BENCHMARKS(m4a);
PLIM_AUDIO_BENCHMARKS(wav);

}  // namespace

BENCHMARK_MAIN();
