// Writes the data representations of a few synthetic signatures (tones,
// chords, a sweep, silence; mono and stereo) into the folder named on the
// command line, as seeds for signature_fuzzer.

#include <cmath>
#include <cstdio>
#include <fstream>
#include <memory>
#include <numbers>
#include <string>

#include "platform/avfaudio/av_audio_pcm_buffer.h"
#include "platform/shazamkit/sh_signature_generator.h"

int main(int argc, char** argv) {
  using namespace plim;
  if (argc != 2) {
    std::fprintf(stderr, "usage: make_signature_seeds FOLDER\n");
    return 2;
  }
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
