#include "tests/support/audio_fixtures.h"

#include <stdlib.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <numbers>
#include <random>
#include <stdexcept>

#include "tests/support/process.h"
#include "tests/support/wav_bytes.h"

namespace plim::testing {
namespace {

constexpr double kTwoPi = 2 * std::numbers::pi;

// `mono` scaled to a peak of 0.8 in every channel, each a little softer than
// the one before.
Audio toAudio(const std::vector<double>& mono, int sample_rate_hz, int channel_count) {
  double peak = 1e-9;
  for (double v : mono) peak = std::max(peak, std::abs(v));
  const auto frames = static_cast<std::int64_t>(mono.size());
  Audio audio{sample_rate_hz, channel_count, {}};
  audio.samples.resize(static_cast<std::size_t>(frames * channel_count));
  for (std::int64_t i = 0; i < frames; ++i) {
    for (int c = 0; c < channel_count; ++c) {
      audio.samples[static_cast<std::size_t>(i * channel_count + c)] =
          static_cast<float>(0.8 * mono[static_cast<std::size_t>(i)] / peak * (1.0 - 0.1 * c));
    }
  }
  return audio;
}

}  // namespace

Audio makeMelody(std::uint32_t seed, double duration_s, int sample_rate_hz, int channel_count) {
  std::mt19937 rng(seed);
  std::uniform_int_distribution<int> semitone(-12, 19);
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  std::normal_distribution<double> gauss(0.0, 1.0);
  const double tempo_bps = 2.0 + 2.0 * unit(rng);  // 120 to 240 beats a minute
  const std::int64_t frames = static_cast<std::int64_t>(duration_s * sample_rate_hz);
  std::vector<double> mono(static_cast<std::size_t>(frames), 0.0);

  // Notes of random length (half, one or two beats), two voices at a time.
  for (int voice = 0; voice < 2; ++voice) {
    double t = 0;
    while (t < duration_s) {
      double length_s = (0.5 * (1 << (rng() % 3))) / tempo_bps;
      double f0 = 440.0 * std::pow(2.0, (semitone(rng) - 12 * voice) / 12.0);
      double gain = 0.25 + 0.15 * unit(rng);
      auto start = static_cast<std::int64_t>(t * sample_rate_hz);
      auto end = std::min(frames, static_cast<std::int64_t>((t + length_s) * sample_rate_hz));
      for (std::int64_t i = start; i < end; ++i) {
        double u = static_cast<double>(i - start) / sample_rate_hz;
        double envelope = std::min(1.0, u / 0.01) * std::exp(-3.0 * u / length_s);
        double s = 0;
        for (int h = 1; h <= 4; ++h) {
          if (f0 * h < sample_rate_hz / 2.0) s += std::sin(kTwoPi * f0 * h * u) / h;
        }
        mono[static_cast<std::size_t>(i)] += gain * envelope * s;
      }
      t += length_s;
    }
  }
  // A short noise burst on every beat, like a hi-hat.
  for (double beat = 0; beat < duration_s; beat += 1.0 / tempo_bps) {
    auto start = static_cast<std::int64_t>(beat * sample_rate_hz);
    auto end = std::min(frames, start + sample_rate_hz / 20);
    for (std::int64_t i = start; i < end; ++i) {
      double u = static_cast<double>(i - start) / sample_rate_hz;
      mono[static_cast<std::size_t>(i)] += 0.08 * gauss(rng) * std::exp(-u / 0.01);
    }
  }

  return toAudio(mono, sample_rate_hz, channel_count);
}

Audio makeChords(std::uint32_t seed, double duration_s, int sample_rate_hz, int channel_count) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  const std::int64_t frames = static_cast<std::int64_t>(duration_s * sample_rate_hz);
  std::vector<double> mono(static_cast<std::size_t>(frames), 0.0);
  // Major or minor triads on roots of a C major scale, with the root an
  // octave down, each held 2 to 4 s and swelling in and out over 0.4 s, as
  // strings play: nothing percussive, every note sustained.
  const int kScale[] = {0, 2, 4, 5, 7, 9, 11};
  double t = 0;
  while (t < duration_s) {
    const double length_s = 2.0 + 2.0 * unit(rng);
    const int root = kScale[rng() % 7] - 9;  // semitones from A 440
    const int third = (rng() % 2) ? 4 : 3;
    const int notes[] = {root - 12, root, root + third, root + 7};
    const auto start = static_cast<std::int64_t>(t * sample_rate_hz);
    const auto end = std::min(frames, static_cast<std::int64_t>((t + length_s) * sample_rate_hz));
    for (int note : notes) {
      const double f0 = 440.0 * std::pow(2.0, note / 12.0);
      const double gain = 0.15 + 0.1 * unit(rng);
      for (std::int64_t i = start; i < end; ++i) {
        const double u = static_cast<double>(i - start) / sample_rate_hz;
        const double envelope = std::min({1.0, u / 0.4, (length_s - u) / 0.4});
        double s = 0;
        for (int h = 1; h <= 6; ++h) {
          if (f0 * h < sample_rate_hz / 2.0) s += std::sin(kTwoPi * f0 * h * u) / h;
        }
        mono[static_cast<std::size_t>(i)] += gain * std::max(0.0, envelope) * s;
      }
    }
    t += length_s;
  }
  return toAudio(mono, sample_rate_hz, channel_count);
}

Audio makeTone(double frequency_hz, double duration_s, int sample_rate_hz, int channel_count,
               double amplitude) {
  Audio audio{sample_rate_hz, channel_count, {}};
  auto frames = static_cast<std::int64_t>(duration_s * sample_rate_hz);
  audio.samples.resize(static_cast<std::size_t>(frames * channel_count));
  for (std::int64_t i = 0; i < frames; ++i) {
    auto v = static_cast<float>(amplitude * std::sin(kTwoPi * frequency_hz * i / sample_rate_hz));
    for (int c = 0; c < channel_count; ++c)
      audio.samples[static_cast<std::size_t>(i * channel_count + c)] = v;
  }
  return audio;
}

Audio makeNoise(std::uint32_t seed, double duration_s, double rms, int sample_rate_hz,
                int channel_count) {
  std::mt19937 rng(seed);
  std::normal_distribution<double> gauss(0.0, rms);
  Audio audio{sample_rate_hz, channel_count, {}};
  auto count = static_cast<std::size_t>(duration_s * sample_rate_hz) *
               static_cast<std::size_t>(channel_count);
  audio.samples.resize(count);
  for (float& s : audio.samples) s = static_cast<float>(std::clamp(gauss(rng), -1.0, 1.0));
  return audio;
}

Audio makePinkNoise(std::uint32_t seed, double duration_s, double rms, int sample_rate_hz,
                    int channel_count) {
  Audio white = makeNoise(seed, duration_s, 1.0, sample_rate_hz, channel_count);
  Audio pink = white;
  // Paul Kellet's economy filter: three poles spread over the audio band.
  for (int channel = 0; channel < channel_count; ++channel) {
    double b0 = 0, b1 = 0, b2 = 0;
    for (std::size_t i = static_cast<std::size_t>(channel); i < white.samples.size();
         i += static_cast<std::size_t>(channel_count)) {
      const double w = white.samples[i];
      b0 = 0.99765 * b0 + w * 0.0990460;
      b1 = 0.96300 * b1 + w * 0.2965164;
      b2 = 0.57000 * b2 + w * 1.0526913;
      pink.samples[i] = static_cast<float>(b0 + b1 + b2 + w * 0.1848);
    }
  }
  double power = 0;
  for (float s : pink.samples) power += static_cast<double>(s) * s;
  const double gain =
      rms / std::sqrt(std::max(power / std::max<std::size_t>(1, pink.samples.size()), 1e-20));
  for (float& s : pink.samples) s = static_cast<float>(std::clamp(s * gain, -1.0, 1.0));
  return pink;
}

Audio addNoise(const Audio& audio, const Audio& noise, double snr_db) {
  double signal_power = 0, noise_power = 0;
  for (std::size_t i = 0; i < audio.samples.size(); ++i) {
    signal_power += audio.samples[i] * audio.samples[i];
    noise_power += noise.samples[i] * noise.samples[i];
  }
  double gain =
      std::sqrt(signal_power / std::max(noise_power, 1e-20) / std::pow(10.0, snr_db / 10));
  Audio mixed = audio;
  for (std::size_t i = 0; i < mixed.samples.size(); ++i) {
    mixed.samples[i] = static_cast<float>(mixed.samples[i] + gain * noise.samples[i]);
  }
  return mixed;
}

Audio excerpt(const Audio& audio, double start_s, double duration_s) {
  auto first = static_cast<std::int64_t>(start_s * audio.sample_rate_hz);
  auto count = static_cast<std::int64_t>(duration_s * audio.sample_rate_hz);
  first = std::clamp<std::int64_t>(first, 0, audio.frameCount());
  count = std::clamp<std::int64_t>(count, 0, audio.frameCount() - first);
  Audio out{audio.sample_rate_hz, audio.channel_count, {}};
  auto begin = audio.samples.begin() + first * audio.channel_count;
  out.samples.assign(begin, begin + count * audio.channel_count);
  return out;
}

Audio concatenate(const std::vector<Audio>& parts) {
  Audio out{parts.front().sample_rate_hz, parts.front().channel_count, {}};
  for (const Audio& part : parts)
    out.samples.insert(out.samples.end(), part.samples.begin(), part.samples.end());
  return out;
}

void writeWav(const Audio& audio, const std::string& path, WavEncoding encoding) {
  FormatFields fields;
  fields.channel_count = static_cast<std::uint16_t>(audio.channel_count);
  fields.sample_rate_hz = static_cast<std::uint32_t>(audio.sample_rate_hz);
  SampleCoding coding = SampleCoding::kSigned16;
  if (encoding == WavEncoding::kPcm24) {
    fields.bits = 24;
    coding = SampleCoding::kSigned24;
  } else if (encoding == WavEncoding::kFloat32) {
    fields.format_tag = 3;
    fields.bits = 32;
    coding = SampleCoding::kFloat32;
  }
  std::vector<double> samples(audio.samples.size());
  std::transform(audio.samples.begin(), audio.samples.end(), samples.begin(),
                 [](float s) { return std::clamp(static_cast<double>(s), -1.0, 1.0); });
  writeBytes(path, riffFile({formatChunk(fields), chunk("data", encodeSamples(samples, coding))}));
}

std::string readBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

void writeBytes(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!out) throw std::runtime_error("could not write " + path);
}

void runFfmpeg(const std::string& input_path, const std::vector<std::string>& arguments,
               const std::string& output_path) {
  std::vector<std::string> argv = {"/usr/bin/ffmpeg", "-nostdin", "-loglevel", "error", "-y", "-i",
                                   input_path};
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  argv.push_back(output_path);
  ProcessResult result = runProcess(argv);
  if (result.exit_status != 0) {
    throw std::runtime_error("ffmpeg failed for " + output_path + ": " + result.standard_error);
  }
}

TemporaryDirectory::TemporaryDirectory() {
  std::string pattern = (std::filesystem::temp_directory_path() / "plim-test-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
}

TemporaryDirectory::~TemporaryDirectory() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

}  // namespace plim::testing
