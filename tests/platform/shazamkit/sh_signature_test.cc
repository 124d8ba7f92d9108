// Signatures: made from any format the audio layer delivers, stable in
// their bytes, and refused when damaged.

#include "platform/shazamkit/sh_signature.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>

#include "platform/foundation/ns_error.h"
#include "platform/shazamkit/sh_signature_generator.h"
#include "platform/shazamkit/shazamkit_error.h"
#include "tests/platform/avfaudio/read_audio.h"
#include "tests/support/audio_fixtures.h"
#include "tests/support/thrown_error.h"

namespace plim::shazamkit {
namespace {

using ::testing::HasSubstr;

using ::plim::testing::Audio;

// The signature of `audio`, given in buffers of at most `chunk_frames`.
SHSignature Sign(const Audio& audio, std::int64_t chunk_frames = 1 << 30) {
  SHSignatureGenerator generator;
  for (std::int64_t at = 0; at < audio.frameCount(); at += chunk_frames) {
    generator.appendBuffer(
        *testing::bufferOf(audio, at, std::min(chunk_frames, audio.frameCount() - at)));
  }
  return generator.signature();
}

// The share of `a`'s reference landmarks that `b` holds too, at any time.
double SharedHashes(const SHSignature& a, const SHSignature& b) {
  std::vector<std::uint32_t> x, y;
  for (const auto& l : a.ReferenceLandmarks()) x.push_back(l.hash);
  for (const auto& l : b.ReferenceLandmarks()) y.push_back(l.hash);
  std::sort(x.begin(), x.end());
  std::sort(y.begin(), y.end());
  std::vector<std::uint32_t> both;
  std::set_intersection(x.begin(), x.end(), y.begin(), y.end(), std::back_inserter(both));
  return x.empty() ? 0 : static_cast<double>(both.size()) / static_cast<double>(x.size());
}

TEST(SHSignatureTest, SameAudioSameBytesAndRoundTrip) {
  Audio audio = testing::makeMelody(5, 8, 44100, 2);
  SHSignature whole = Sign(audio);
  EXPECT_NEAR(whole.duration(), 8.0, 1e-9);
  // Streaming in small buffers changes nothing but the resampler's phase.
  EXPECT_EQ(Sign(audio).dataRepresentation(), whole.dataRepresentation());
  EXPECT_GT(SharedHashes(whole, Sign(audio, 1000)), 0.9);
  SHSignature copy(std::span<const std::uint8_t>(whole.dataRepresentation()));
  EXPECT_EQ(copy, whole);
}

TEST(SHSignatureTest, FormatsOfTheSameMusicAgree) {
  // The same melody at other rates and channel counts: the generator mixes
  // and resamples it to the same analysis.
  SHSignature reference = Sign(testing::makeMelody(6, 10, 44100, 2));
  struct Case {
    int rate_hz, channels;
  } cases[] = {{48000, 2}, {22050, 1}, {96000, 6}, {8000, 1}};
  for (const Case& c : cases) {
    SHSignature other = Sign(testing::makeMelody(6, 10, c.rate_hz, c.channels));
    EXPECT_GT(SharedHashes(other, reference), 0.5) << c.rate_hz << " Hz, " << c.channels << " ch";
  }
  SHSignature unrelated = Sign(testing::makeMelody(7, 10, 44100, 2));
  EXPECT_LT(SharedHashes(unrelated, reference), 0.1);
}

TEST(SHSignatureTest, RefusesUnusableFormats) {
  struct Case {
    const char* name;
    double rate_hz;
    std::uint32_t channels;
  } cases[] = {{"NoChannels", 44100, 0}, {"RateTooLow", 4000, 1}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto buffer = avfaudio::AVAudioPCMBuffer::initWithPCMFormat(
        avfaudio::AVAudioFormat(c.rate_hz, c.channels), 16);
    ASSERT_NE(buffer, nullptr);
    SHSignatureGenerator generator;
    const foundation::NSError error =
        ::plim::testing::ThrownError([&] { generator.appendBuffer(*buffer); });
    EXPECT_EQ(error.code(), kInvalidAudioFormat);
    EXPECT_THAT(error.description(), HasSubstr("can't be used"));
  }
}

TEST(SHSignatureTest, RefusesDamagedOrForeignData) {
  const std::vector<std::uint8_t> good =
      Sign(testing::makeMelody(8, 3, 22050, 1)).dataRepresentation();
  ASSERT_GT(good.size(), 100u);
  using Bytes = std::vector<std::uint8_t>;
  const auto changed = [&](const std::function<void(Bytes&)>& change) {
    Bytes data = good;
    change(data);
    return data;
  };
  struct Case {
    const char* name;
    Bytes data;
  } cases[] = {
      {"Empty", {}},
      {"Truncated", Bytes(good.begin(), good.end() - 9)},
      {"ByteFlippedInHeader", changed([](Bytes& d) { d[8] ^= 0x10; })},
      {"ByteFlippedInPeaks", changed([](Bytes& d) { d[d.size() / 2] ^= 0x10; })},
      {"ForeignMagic", changed([](Bytes& d) { d[0] = 'X'; })},
      {"Appended", changed([](Bytes& d) { d.push_back(0); })},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const foundation::NSError error = ::plim::testing::ThrownError(
        [&] { SHSignature signature{std::span<const std::uint8_t>(c.data)}; });
    EXPECT_EQ(error.domain(), kShazamKitErrorDomain);
    EXPECT_EQ(error.code(), kSignatureInvalid);
  }
}

}  // namespace
}  // namespace plim::shazamkit
