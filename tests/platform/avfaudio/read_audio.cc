#include "tests/platform/avfaudio/read_audio.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

#include "platform/foundation/url.h"

namespace plim::testing {

using avfaudio::AVAudioFile;
using avfaudio::AVAudioPCMBuffer;

std::unique_ptr<AVAudioPCMBuffer> bufferOf(const Audio& audio, std::int64_t first_frame,
                                           std::int64_t frame_count) {
  auto buffer = AVAudioPCMBuffer::initWithPCMFormat(
      avfaudio::AVAudioFormat(audio.sample_rate_hz,
                              static_cast<std::uint32_t>(audio.channel_count)),
      static_cast<std::uint32_t>(frame_count));
  for (std::int64_t i = 0; i < frame_count; ++i) {
    for (int c = 0; c < audio.channel_count; ++c) {
      buffer->floatChannelData()[c][i] =
          audio.samples[static_cast<std::size_t>((first_frame + i) * audio.channel_count + c)];
    }
  }
  buffer->setFrameLength(static_cast<std::uint32_t>(frame_count));
  return buffer;
}

DecodedAudio readToEnd(AVAudioFile& file, std::uint32_t chunk_frames) {
  const avfaudio::AVAudioFormat& format = file.processingFormat();
  DecodedAudio out{format.sampleRate(), format.channelCount(),
                   std::vector<std::vector<float>>(format.channelCount())};
  auto buffer = AVAudioPCMBuffer::initWithPCMFormat(format, chunk_frames);
  EXPECT_NE(buffer, nullptr);
  if (!buffer) return out;
  bool short_read_seen = false;
  while (true) {
    const std::int64_t position = file.framePosition();
    file.readIntoBuffer(*buffer);
    const std::uint32_t frames = buffer->frameLength();
    EXPECT_EQ(file.framePosition(), position + frames);
    if (frames == 0) break;
    EXPECT_FALSE(short_read_seen) << "a read came up short before the end";
    short_read_seen = frames < chunk_frames;
    for (std::uint32_t c = 0; c < format.channelCount(); ++c) {
      const float* plane = buffer->floatChannelData()[c];
      out.planes[c].insert(out.planes[c].end(), plane, plane + frames);
    }
  }
  return out;
}

DecodedAudio readNaturally(const std::string& path, std::uint32_t chunk_frames) {
  auto file = AVAudioFile::initForReading(foundation::URL::fileURLWithPath(path));
  EXPECT_EQ(file->framePosition(), 0);
  DecodedAudio decoded = readToEnd(*file, chunk_frames);
  EXPECT_EQ(file->length(), decoded.frameCount()) << "length() after reading to the end";
  return decoded;
}

DecodedAudio readWholeAfterLength(const std::string& path) {
  auto file = AVAudioFile::initForReading(foundation::URL::fileURLWithPath(path));
  const std::int64_t length = file->length();
  const avfaudio::AVAudioFormat& format = file->processingFormat();
  DecodedAudio out{format.sampleRate(), format.channelCount(),
                   std::vector<std::vector<float>>(format.channelCount())};
  auto buffer = AVAudioPCMBuffer::initWithPCMFormat(format, static_cast<std::uint32_t>(length));
  EXPECT_NE(buffer, nullptr);
  if (!buffer) return out;
  file->readIntoBuffer(*buffer);
  EXPECT_EQ(buffer->frameLength(), length) << "one read into a buffer of length() frames";
  EXPECT_EQ(file->framePosition(), length);
  for (std::uint32_t c = 0; c < format.channelCount(); ++c) {
    const float* plane = buffer->floatChannelData()[c];
    out.planes[c].assign(plane, plane + buffer->frameLength());
  }
  file->readIntoBuffer(*buffer);
  EXPECT_EQ(buffer->frameLength(), 0u) << "a read past the end";
  EXPECT_EQ(file->length(), length);
  return out;
}

double correlation(const DecodedAudio& decoded, const Audio& source, int channel,
                   std::int64_t lag_frames) {
  double xy = 0, xx = 0, yy = 0;
  const std::vector<float>& plane = decoded.planes[static_cast<size_t>(channel)];
  for (std::int64_t i = 0; i < source.frameCount(); ++i) {
    const std::int64_t j = i + lag_frames;
    if (j < 0 || j >= static_cast<std::int64_t>(plane.size())) continue;
    const double x = source.samples[static_cast<size_t>(i * source.channel_count + channel)];
    const double y = plane[static_cast<size_t>(j)];
    xy += x * y;
    xx += x * x;
    yy += y * y;
  }
  return xx > 0 && yy > 0 ? xy / std::sqrt(xx * yy) : 0.0;
}

double maxDifference(const DecodedAudio& decoded, const Audio& source) {
  double worst = 0;
  for (std::int64_t i = 0; i < source.frameCount(); ++i) {
    for (int c = 0; c < source.channel_count; ++c) {
      const double x = source.samples[static_cast<size_t>(i * source.channel_count + c)];
      const double y = decoded.planes[static_cast<size_t>(c)][static_cast<size_t>(i)];
      worst = std::max(worst, std::abs(x - y));
    }
  }
  return worst;
}

}  // namespace plim::testing
