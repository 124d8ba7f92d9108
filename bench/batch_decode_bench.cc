// The floor under `plim-catalog match` over many files: the CPU time of
// decoding them alone (and, with --sign, of decoding and fingerprinting
// them), one after another on one thread.
//
//   batch_decode_bench [--sign] < paths.txt
//
// Prints the files read, their audio in seconds and the CPU time taken.

#include <time.h>

#include <cstdio>
#include <iostream>
#include <memory>
#include <string>

#include "platform/avfaudio/av_audio_file.h"
#include "platform/foundation/ns_error.h"
#include "platform/foundation/url.h"
#include "tools/plim-catalog/audio_file_signature.h"

namespace {

double CpuS() {
  timespec now;
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

// Decodes the whole file in two-second buffers, as SignAudioFile reads it.
double Decode(const std::string& path) {
  using namespace plim::avfaudio;
  std::unique_ptr<AVAudioFile> file =
      AVAudioFile::initForReading(plim::foundation::URL::fileURLWithPath(path));
  const AVAudioFormat format = file->processingFormat();
  auto buffer = AVAudioPCMBuffer::initWithPCMFormat(
      format, static_cast<AVAudioFrameCount>(format.sampleRate() * 2));
  double frames = 0;
  for (file->readIntoBuffer(*buffer); buffer->frameLength() > 0; file->readIntoBuffer(*buffer)) {
    frames += buffer->frameLength();
  }
  return frames / format.sampleRate();
}

}  // namespace

int main(int argc, char** argv) {
  const bool sign = argc > 1 && std::string(argv[1]) == "--sign";
  int files = 0, failed = 0;
  double audio_s = 0;
  const double start_s = CpuS();
  for (std::string path; std::getline(std::cin, path);) {
    try {
      audio_s +=
          sign ? plim::SignAudioFile(path, plim::ContentHash::kSkip).duration_s : Decode(path);
      ++files;
    } catch (const plim::foundation::NSError&) {
      ++failed;
    }
  }
  std::printf("%s %d files (%d failed), %.1f s of audio: %.2f s CPU\n",
              sign ? "decoded and fingerprinted" : "decoded", files, failed, audio_s,
              CpuS() - start_s);
  return 0;
}
