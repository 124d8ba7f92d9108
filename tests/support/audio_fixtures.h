// Test audio made inside the tests: tones, melodies and noise, written as
// WAV by hand and re-encoded to other formats with the ffmpeg program.

#ifndef PLIM_TESTS_SUPPORT_AUDIO_FIXTURES_H_
#define PLIM_TESTS_SUPPORT_AUDIO_FIXTURES_H_

#include <cstdint>
#include <string>
#include <vector>

namespace plim::testing {

// Interleaved float samples in [-1, 1].
struct Audio {
  int sample_rate_hz = 44100;
  int channel_count = 1;
  std::vector<float> samples;  // frames * channel_count

  std::int64_t frameCount() const {
    return channel_count == 0 ? 0 : static_cast<std::int64_t>(samples.size()) / channel_count;
  }
};

// A melody of `duration_s` seconds: a sequence of notes with harmonics and
// attack/decay envelopes, plus a percussive noise burst on each beat, drawn
// from a generator seeded with `seed`. Different seeds give unrelated music;
// the same seed gives the same samples. Each channel carries the melody with
// a small per-channel gain difference.
Audio makeMelody(std::uint32_t seed, double duration_s, int sample_rate_hz = 44100,
                 int channel_count = 2);

// A slow progression of sustained chords (held 2-4 s, swelling in and out,
// nothing percussive), drawn from a generator seeded with `seed`, in the
// same format as makeMelody: soft music whose peaks noise easily takes.
Audio makeChords(std::uint32_t seed, double duration_s, int sample_rate_hz = 44100,
                 int channel_count = 2);

// A sine of `frequency_hz` at amplitude `amplitude` in every channel.
Audio makeTone(double frequency_hz, double duration_s, int sample_rate_hz = 44100,
               int channel_count = 1, double amplitude = 0.5);

// Gaussian white noise with the given RMS, from a generator seeded with `seed`.
Audio makeNoise(std::uint32_t seed, double duration_s, double rms, int sample_rate_hz = 44100,
                int channel_count = 1);

// Pink (1/f) noise with the given RMS: Gaussian white noise from a
// generator seeded with `seed` through a 1/f filter, channels independent.
Audio makePinkNoise(std::uint32_t seed, double duration_s, double rms, int sample_rate_hz = 44100,
                    int channel_count = 1);

// `audio` with `noise` (same format, at least as long) added, the noise
// scaled so that the signal-to-noise ratio is `snr_db` (measured over `audio`).
Audio addNoise(const Audio& audio, const Audio& noise, double snr_db);

// Frames [start_s, start_s + duration_s) of `audio`.
Audio excerpt(const Audio& audio, double start_s, double duration_s);

// `parts` (at least one, all in one format) played one after another.
Audio concatenate(const std::vector<Audio>& parts);

// How a WAV file stores its samples.
enum class WavEncoding { kPcm16, kPcm24, kFloat32 };

// Writes `audio` as a RIFF WAVE file at `path`. Throws std::runtime_error.
void writeWav(const Audio& audio, const std::string& path,
              WavEncoding encoding = WavEncoding::kPcm16);

// The whole file at `path` as bytes ("" when it can't be read), and `bytes`
// written as the whole file at `path`. writeBytes throws std::runtime_error.
std::string readBytes(const std::string& path);
void writeBytes(const std::string& path, const std::string& bytes);

// Runs the ffmpeg program: input `input_path`, then `arguments` (codec and
// filter options), output `output_path`, overwriting it. Throws
// std::runtime_error with ffmpeg's message when it fails.
void runFfmpeg(const std::string& input_path, const std::vector<std::string>& arguments,
               const std::string& output_path);

// A fresh directory under the system's temporary directory, removed when
// the object is destroyed.
class TemporaryDirectory {
 public:
  TemporaryDirectory();
  ~TemporaryDirectory();
  TemporaryDirectory(const TemporaryDirectory&) = delete;
  TemporaryDirectory& operator=(const TemporaryDirectory&) = delete;

  const std::string& path() const { return path_; }
  // path() + "/" + name
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

}  // namespace plim::testing

#endif  // PLIM_TESTS_SUPPORT_AUDIO_FIXTURES_H_
