#include "platform/avfaudio/ffmpeg/frame_count.h"

#include <algorithm>
#include <memory>
#include <optional>
#include <vector>

#include "platform/avfaudio/ffmpeg/packet_frame_model.h"

namespace plim::avfaudio {
namespace {

// PCM in WAV: the data chunk runs from the first packet to the size the
// header declares or to the end of the file, whichever comes first (a file
// cut short keeps its original header). A partial last frame is dropped by
// the decoder, and so by the division.
std::optional<std::int64_t> CountWavFrames(const FileInput& input, const StreamDecoder& reader) {
  const PacketSource& source = reader.source();
  const AVCodecParameters& parameters = *source.stream().codecpar;
  const std::int64_t data_offset_bytes = source.first_packet_offset_bytes();
  if (source.FormatName() != "wav" || parameters.block_align <= 0 || data_offset_bytes < 0 ||
      parameters.codec_id < AV_CODEC_ID_PCM_S16LE ||
      parameters.codec_id >= AV_CODEC_ID_ADPCM_IMA_QT) {
    return std::nullopt;
  }
  std::int64_t frames =
      std::max<std::int64_t>(0, input.SizeBytes() - data_offset_bytes) / parameters.block_align;
  std::optional<std::int64_t> declared =
      ExactFrames(source.stream().duration, source.stream().time_base, parameters.sample_rate);
  if (declared) frames = std::min(frames, *declared);
  return frames;
}

std::optional<std::int64_t> CountPacketFrames(const FileInput& input, const StreamDecoder& reader) {
  auto source = std::make_unique<PacketSource>(input);
  std::optional<PacketFrameModel> model =
      PacketFrameModel::ForStream(*source, static_cast<int>(reader.format().sampleRate()));
  if (!model) return std::nullopt;
  PacketPtr packet(av_packet_alloc());
  if (!packet) return std::nullopt;
  std::int64_t total_frames = 0;
  bool is_last = false;
  while (source->ReadPacket(*packet, is_last)) {
    std::optional<std::int64_t> frames = model->FramesFor(*packet, is_last);
    if (!frames) return std::nullopt;
    total_frames += *frames;
  }
  return total_frames;
}

std::int64_t CountDecodedFrames(const FileInput& input, const StreamDecoder& reader) {
  StreamDecoder decoder(std::make_unique<PacketSource>(input));
  // A second decoder over the same file reads into a small scratch buffer.
  constexpr std::int64_t kChunkFrames = 16384;
  const auto channels = static_cast<size_t>(reader.format().channelCount());
  std::vector<float> scratch(channels * kChunkFrames);
  std::vector<float*> planes(channels);
  for (size_t c = 0; c < channels; ++c) planes[c] = scratch.data() + c * kChunkFrames;
  while (decoder.Read(planes.data(), kChunkFrames) == kChunkFrames) {
  }
  return decoder.position_frames();
}

}  // namespace

std::int64_t CountFrames(const FileInput& input, const StreamDecoder& reader) {
  if (std::optional<std::int64_t> frames = CountWavFrames(input, reader)) return *frames;
  if (std::optional<std::int64_t> frames = CountPacketFrames(input, reader)) return *frames;
  return CountDecodedFrames(input, reader);
}

}  // namespace plim::avfaudio
