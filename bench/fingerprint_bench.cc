// Speed of the fingerprint: the analysis alone (mono at the analysis rate),
// the whole signature generator on 44.1-kHz stereo (mixing and resampling
// included) fed at once and fed as plim-catalog feeds it, and the landmark
// hashing. Counters give times real time.

#include <benchmark/benchmark.h>

#include <algorithm>

#include "platform/avfaudio/av_audio_pcm_buffer.h"
#include "platform/fingerprint/fingerprinter.h"
#include "platform/fingerprint/landmark_hasher.h"
#include "platform/shazamkit/sh_signature_generator.h"
#include "tests/support/audio_fixtures.h"

namespace {

using namespace plim;

constexpr double kAudioS = 60;

void ReportRealTime(benchmark::State& state) {
  state.counters["x_real_time"] = benchmark::Counter(
      kAudioS * static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}

void BM_AnalysisMono8k(benchmark::State& state) {
  testing::Audio audio = testing::makeMelody(1, kAudioS, fingerprint::kAnalysisSampleRateHz, 1);
  for (auto _ : state) {
    fingerprint::Fingerprinter fingerprinter;
    fingerprinter.AppendSamples(audio.samples);
    benchmark::DoNotOptimize(fingerprinter.Finish(kAudioS));
  }
  ReportRealTime(state);
}
BENCHMARK(BM_AnalysisMono8k)->Unit(benchmark::kMillisecond);

// The 60-s buffer is far larger than the caches, so mixing reads it from
// memory.
void BM_GeneratorStereo44k1(benchmark::State& state) {
  testing::Audio audio = testing::makeMelody(2, kAudioS, 44100, 2);
  auto frames = static_cast<avfaudio::AVAudioFrameCount>(audio.frameCount());
  auto buffer =
      avfaudio::AVAudioPCMBuffer::initWithPCMFormat(avfaudio::AVAudioFormat(44100, 2), frames);
  for (avfaudio::AVAudioFrameCount i = 0; i < frames; ++i) {
    buffer->floatChannelData()[0][i] = audio.samples[2 * i];
    buffer->floatChannelData()[1][i] = audio.samples[2 * i + 1];
  }
  buffer->setFrameLength(frames);
  for (auto _ : state) {
    shazamkit::SHSignatureGenerator generator;
    generator.appendBuffer(*buffer);
    benchmark::DoNotOptimize(generator.signature());
  }
  ReportRealTime(state);
}
BENCHMARK(BM_GeneratorStereo44k1)->Unit(benchmark::kMillisecond);

// As plim-catalog feeds it: two-second buffers, each just written (by the
// decoder there, by an untimed copy here) and so still in cache when the
// generator reads it.
void BM_GeneratorStereo44k1TwoSecondBuffers(benchmark::State& state) {
  constexpr avfaudio::AVAudioFrameCount kBufferFrames = 2 * 44100;
  testing::Audio audio = testing::makeMelody(2, kAudioS, 44100, 2);
  auto frames = static_cast<avfaudio::AVAudioFrameCount>(audio.frameCount());
  auto buffer = avfaudio::AVAudioPCMBuffer::initWithPCMFormat(avfaudio::AVAudioFormat(44100, 2),
                                                              kBufferFrames);
  for (auto _ : state) {
    shazamkit::SHSignatureGenerator generator;
    for (avfaudio::AVAudioFrameCount start = 0; start < frames; start += kBufferFrames) {
      state.PauseTiming();
      avfaudio::AVAudioFrameCount count = std::min(kBufferFrames, frames - start);
      for (avfaudio::AVAudioFrameCount i = 0; i < count; ++i) {
        buffer->floatChannelData()[0][i] = audio.samples[2 * (start + i)];
        buffer->floatChannelData()[1][i] = audio.samples[2 * (start + i) + 1];
      }
      buffer->setFrameLength(count);
      state.ResumeTiming();
      generator.appendBuffer(*buffer);
    }
    benchmark::DoNotOptimize(generator.signature());
  }
  ReportRealTime(state);
}
BENCHMARK(BM_GeneratorStereo44k1TwoSecondBuffers)->Unit(benchmark::kMillisecond);

void BM_QueryLandmarks(benchmark::State& state) {
  testing::Audio audio = testing::makeMelody(3, kAudioS, fingerprint::kAnalysisSampleRateHz, 1);
  fingerprint::Fingerprinter fingerprinter;
  fingerprinter.AppendSamples(audio.samples);
  fingerprint::Constellation constellation = fingerprinter.Finish(kAudioS);
  for (auto _ : state) benchmark::DoNotOptimize(fingerprint::QueryLandmarks(constellation));
  ReportRealTime(state);
}
BENCHMARK(BM_QueryLandmarks)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
