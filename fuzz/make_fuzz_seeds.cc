// Seeds for the fuzz targets, made from synthetic audio:
//   make_fuzz_seeds SIGNATURE_FOLDER AUDIO_FOLDER
// writes the data representations of a few signatures (tones, a chord, a
// sweep, silence; mono and stereo) into SIGNATURE_FOLDER, and, from the
// a.ogg, s16.wav and a.m4a already in AUDIO_FOLDER, a copy of each kind of
// damage that once crashed, ballooned or misled the audio layer, so that
// every fuzz run replays them.

#include <cmath>
#include <cstdio>
#include <fstream>
#include <memory>
#include <numbers>
#include <sstream>
#include <string>

#include "platform/avfaudio/av_audio_pcm_buffer.h"
#include "platform/catalog/peak_blocks.h"
#include "platform/catalog/record_format.h"
#include "platform/shazamkit/sh_signature_generator.h"
#include "tests/platform/avfaudio/ogg_pages.h"

namespace {

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

void WriteFile(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

void PutLittleEndian(std::string& bytes, std::size_t at, std::uint32_t value, int size) {
  for (int i = 0; i < size; ++i) bytes[at + i] = static_cast<char>(value >> (8 * i));
}

void WriteDamagedAudio(const std::string& folder) {
  using plim::testing::repeatVorbisHeaders;
  const std::string ogg = ReadFile(folder + "/a.ogg");
  WriteFile(folder + "/ogg-wrapped-last-packet.ogg", plim::testing::wrapLastVorbisPacket(ogg));
  WriteFile(folder + "/ogg-repeated-headers.ogg", repeatVorbisHeaders(ogg));
  WriteFile(folder + "/ogg-repeated-damaged-headers.ogg", repeatVorbisHeaders(ogg, true));
  // A LIST chunk claiming 2 GB before the data, its tag claiming 600 MB.
  std::string wav = ReadFile(folder + "/s16.wav");
  wav.insert(36, std::string("LIST\xf0\xff\xff\x7fINFOIART\x00\x46\xc3\x23"
                             "artist",
                             26));
  WriteFile(folder + "/wav-list-claims-gigabytes.wav", wav);
  // 65 channels of 16 bits, 100 frames.
  std::string channels(44 + 65 * 2 * 100, '\0');
  channels.replace(0, 16, "RIFF....WAVEfmt ");
  PutLittleEndian(channels, 4, static_cast<std::uint32_t>(channels.size() - 8), 4);
  PutLittleEndian(channels, 16, 16, 4);
  PutLittleEndian(channels, 20, 1, 2);
  PutLittleEndian(channels, 22, 65, 2);
  PutLittleEndian(channels, 24, 8000, 4);
  PutLittleEndian(channels, 28, 8000 * 130, 4);
  PutLittleEndian(channels, 32, 130, 2);
  PutLittleEndian(channels, 34, 16, 2);
  channels.replace(36, 4, "data");
  PutLittleEndian(channels, 40, 65 * 2 * 100, 4);
  WriteFile(folder + "/wav-65-channels.wav", channels);
  // The first packet of an M4A declared 1 GB long.
  std::string m4a = ReadFile(folder + "/a.m4a");
  if (std::size_t at = m4a.find("stsz"); at != std::string::npos) {
    m4a.replace(at + 16, 4, "\x3f\xff\xff\xff");
    WriteFile(folder + "/m4a-gigabyte-packet.m4a", m4a);
  }
}

// A record, a landmark list and a block of peaks, in both layouts.
void WriteCatalogValues(const std::string& folder) {
  using namespace plim::catalog;
  Recording recording;
  recording.title = "T\xc3\xa9";
  recording.artist = "A";
  recording.genres = {"Jazz", ""};
  recording.duration_s = 215.25;
  recording.source_path = "/music/a.flac";
  recording.source_modified_ns = -5;
  recording.content_hash = "00112233445566778899aabbccddeeff";
  recording.landmark_count = 9;
  recording.artwork_file = "0123.png";
  const std::string record = EncodeRecording(recording);
  WriteFile(folder + "/record", record);
  std::string older = record.substr(0, record.size() - kChecksumBytes);
  older[0] = 1;
  WriteFile(folder + "/record-unchecked", older);
  const std::uint32_t hashes[] = {3, 70, 1000000, 0xFFFFFFFF};
  WriteFile(folder + "/hash-list", EncodeHashList(hashes, 0x123456789));
  std::vector<plim::fingerprint::Peak> peaks;
  for (std::uint32_t t = 0; t < 40; ++t) {
    peaks.push_back({t * 37, static_cast<std::uint16_t>(100 + 9 * t), 20});
  }
  // Keyed as the fuzzer takes the key: from the value's first two bytes.
  const std::vector<std::uint8_t> levels(3 * plim::fingerprint::kOutlineBands, 90);
  const std::string block = EncodePeakBlock(peaks, levels, 40, 0);
  WriteFile(folder + "/peak-block", block);
  WriteFile(folder + "/peak-block-unchecked", block.substr(0, block.size() - kChecksumBytes));
  // A time step near 2^64 once wrapped round into the block.
  WriteFile(folder + "/peak-block-wrapping-step",
            std::string("\x02\x25\xf7") + std::string(10, '\xff') + std::string("\x01\x00\x17", 3));
}

}  // namespace

int main(int argc, char** argv) {
  using namespace plim;
  if (argc != 4) {
    std::fprintf(stderr, "usage: make_fuzz_seeds SIGNATURE_FOLDER AUDIO_FOLDER CATALOG_FOLDER\n");
    return 2;
  }
  WriteDamagedAudio(argv[2]);
  WriteCatalogValues(argv[3]);
  constexpr double kRateHz = 44100;
  struct Seed {
    const char* name;
    double seconds;
    int channels;
    double (*sample)(double t);
  };
  const Seed seeds[] = {
      {"tone", 2, 1, [](double t) { return 0.5 * std::sin(2 * std::numbers::pi * 440 * t); }},
      {"chord", 4, 2,
       [](double t) {
         return 0.3 * (std::sin(2 * std::numbers::pi * 330 * t) +
                       std::sin(2 * std::numbers::pi * 1250 * t));
       }},
      {"sweep", 3, 1,
       [](double t) { return 0.5 * std::sin(2 * std::numbers::pi * (200 + 600 * t) * t); }},
      {"silence", 1, 1, [](double) { return 0.0; }},
  };
  for (const Seed& seed : seeds) {
    const auto frames = static_cast<avfaudio::AVAudioFrameCount>(seed.seconds * kRateHz);
    auto buffer = avfaudio::AVAudioPCMBuffer::initWithPCMFormat(
        avfaudio::AVAudioFormat(kRateHz, static_cast<avfaudio::AVAudioChannelCount>(seed.channels)),
        frames);
    if (!buffer) return 1;
    for (int c = 0; c < seed.channels; ++c) {
      for (avfaudio::AVAudioFrameCount i = 0; i < frames; ++i) {
        buffer->floatChannelData()[c][i] = static_cast<float>(seed.sample(i / kRateHz));
      }
    }
    buffer->setFrameLength(frames);
    shazamkit::SHSignatureGenerator generator;
    generator.appendBuffer(*buffer);
    const auto bytes = generator.signature().dataRepresentation();
    std::ofstream(std::string(argv[1]) + "/" + seed.name + ".sig", std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
  }
  return 0;
}
