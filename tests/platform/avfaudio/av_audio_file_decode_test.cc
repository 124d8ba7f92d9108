// The decode matrix: every container and codec plim is expected to read, at
// rates from 8 to 96 kHz and with 1, 2 and 6 channels. For each, the length
// counted up front must equal what streaming reads deliver, and the audio
// must be the audio that was encoded.

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

#include "platform/avfaudio/av_audio_file.h"
#include "tests/platform/avfaudio/read_audio.h"
#include "tests/support/audio_fixtures.h"

namespace plim::testing {
namespace {

struct DecodeCase {
  const char* name;
  const char* extension;
  // ffmpeg options turning the generated WAV into the file; none: the WAV
  // itself is read.
  std::vector<std::string> ffmpeg_arguments;
  WavEncoding wav_encoding;
  int sample_rate_hz;
  int channel_count;
  int decoded_rate_hz;  // the rate delivered, when the codec imposes one
  // Lossless: the largest sample error allowed. Lossy (negative): the
  // smallest correlation with the source allowed.
  double tolerance;
  // Frames the decoder may deliver beyond the source (encoder padding that
  // the container does not mark); 0 where the container gives exact counts.
  std::int64_t extra_frames_allowed;
  std::int64_t lag_frames;  // where source frame 0 appears in the decoded audio
};

// Test names say enough; gtest would otherwise dump the bytes.
void PrintTo(const DecodeCase& c, std::ostream* out) { *out << c.name; }

constexpr double kPcm16Tolerance = 1.0e-4;
constexpr double kPcm24Tolerance = 1.0e-6;

// A video stream (a black picture) in front of the audio stream.
std::vector<std::string> withVideo(const std::string& audio_codec) {
  return {"-f",   "lavfi", "-i",   "color=c=black:s=32x32:r=5:d=2",
          "-map", "1:v",   "-map", "0:a",
          "-c:v", "mpeg4", "-c:a", audio_codec};
}

std::vector<DecodeCase> decodeCases() {
  const WavEncoding k16 = WavEncoding::kPcm16, k24 = WavEncoding::kPcm24;
  return {
      {"Wav16Mono8k", "wav", {}, k16, 8000, 1, 0, kPcm16Tolerance, 0, 0},
      {"Wav24Stereo96k", "wav", {}, k24, 96000, 2, 0, kPcm24Tolerance, 0, 0},
      {"WavFloatSixChannels48k", "wav", {}, WavEncoding::kFloat32, 48000, 6, 0, 0.0, 0, 0},
      {"AiffStereo44k", "aiff", {"-c:a", "pcm_s16be"}, k16, 44100, 2, 0, kPcm16Tolerance, 0, 0},
      {"FlacMono8k", "flac", {"-c:a", "flac"}, k16, 8000, 1, 0, kPcm16Tolerance, 0, 0},
      {"FlacSixChannels96k", "flac", {"-c:a", "flac"}, k24, 96000, 6, 0, kPcm24Tolerance, 0, 0},
      {"Mp3Stereo44k", "mp3", {"-c:a", "libmp3lame"}, k16, 44100, 2, 0, -0.9, 0, 0},
      {"Mp3Mono8k", "mp3", {"-c:a", "libmp3lame"}, k16, 8000, 1, 0, -0.8, 0, 0},
      {"Mp3Stereo22k", "mp3", {"-c:a", "libmp3lame"}, k16, 22050, 2, 0, -0.9, 0, 0},
      {"VorbisStereo44k", "ogg", {"-c:a", "libvorbis"}, k16, 44100, 2, 0, -0.9, 0, 0},
      {"VorbisMono11k", "ogg", {"-c:a", "libvorbis"}, k16, 11025, 1, 0, -0.8, 0, 0},
      {"VorbisSixChannels48k", "ogg", {"-c:a", "libvorbis"}, k16, 48000, 6, 0, -0.9, 0, 0},
      {"OpusStereo48k", "opus", {"-c:a", "libopus"}, k16, 48000, 2, 0, -0.9, 0, 0},
      {"OpusSixChannels48k", "opus", {"-c:a", "libopus"}, k16, 48000, 6, 0, -0.9, 0, 0},
      {"OpusMono16k", "opus", {"-c:a", "libopus"}, k16, 16000, 1, 48000, -0.8, 0, 0},
      {"AacM4aStereo44k", "m4a", {"-c:a", "aac"}, k16, 44100, 2, 0, -0.9, 0, 0},
      {"AacM4aMono96k", "m4a", {"-c:a", "aac"}, k16, 96000, 1, 0, -0.9, 0, 0},
      {"AacM4aSixChannels48k", "m4a", {"-c:a", "aac"}, k16, 48000, 6, 0, -0.9, 0, 0},
      // Raw ADTS marks neither the encoder's priming nor its padding.
      {"AacAdtsStereo44k", "aac", {"-c:a", "aac"}, k16, 44100, 2, 0, -0.9, 2048, 1024},
      {"Mp4VideoWithAac", "mp4", withVideo("aac"), k16, 44100, 2, 0, -0.9, 0, 0},
      {"MkvVideoWithOpus", "mkv", withVideo("libopus"), k16, 48000, 2, 0, -0.9, 0, 0},
      // Matroska does not carry Vorbis's end trimming.
      {"MkvVideoWithVorbis", "mkv", withVideo("libvorbis"), k16, 44100, 2, 0, -0.9, 2048, 0},
  };
}

class DecodeMatrixTest : public ::testing::TestWithParam<DecodeCase> {};

TEST_P(DecodeMatrixTest, LengthMatchesReadsAndAudioMatchesSource) {
  const DecodeCase& c = GetParam();
  TemporaryDirectory directory;
  const Audio source = makeMelody(7, 1.0, c.sample_rate_hz, c.channel_count);
  const std::string wav_path = directory.file("source.wav");
  writeWav(source, wav_path, c.wav_encoding);
  std::string path = wav_path;
  if (!c.ffmpeg_arguments.empty()) {
    path = directory.file(std::string("encoded.") + c.extension);
    runFfmpeg(wav_path, c.ffmpeg_arguments, path);
  }

  // An odd chunk size puts read boundaries inside codec frames.
  const DecodedAudio streamed = readNaturally(path, 997);
  const DecodedAudio whole = readWholeAfterLength(path);

  const int rate_hz = c.decoded_rate_hz != 0 ? c.decoded_rate_hz : c.sample_rate_hz;
  EXPECT_EQ(streamed.sample_rate_hz, rate_hz);
  EXPECT_EQ(streamed.channel_count, static_cast<std::uint32_t>(c.channel_count));
  // The count made before reading must be the count that reading delivers.
  ASSERT_EQ(whole.frameCount(), streamed.frameCount());
  EXPECT_EQ(whole.planes, streamed.planes) << "one whole read and chunked reads differ";

  // Never short: the end of the recording is always there.
  const std::int64_t source_frames = source.frameCount() * rate_hz / c.sample_rate_hz;
  EXPECT_GE(streamed.frameCount(), source_frames);
  EXPECT_LE(streamed.frameCount(), source_frames + c.extra_frames_allowed);

  if (c.tolerance >= 0) {
    ASSERT_EQ(streamed.frameCount(), source.frameCount());
    EXPECT_LE(maxDifference(streamed, source), c.tolerance);
  } else if (rate_hz == c.sample_rate_hz) {
    EXPECT_GE(correlation(streamed, source, 0, c.lag_frames), -c.tolerance);
  }
}

INSTANTIATE_TEST_SUITE_P(Formats, DecodeMatrixTest, ::testing::ValuesIn(decodeCases()),
                         [](const ::testing::TestParamInfo<DecodeCase>& info) {
                           return std::string(info.param.name);
                         });

}  // namespace
}  // namespace plim::testing
