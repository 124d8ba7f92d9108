// A whole audio file's signature, decoded a few seconds at a time.

#ifndef PLIM_TOOLS_PLIM_CATALOG_AUDIO_FILE_SIGNATURE_H_
#define PLIM_TOOLS_PLIM_CATALOG_AUDIO_FILE_SIGNATURE_H_

#include <optional>
#include <string>

#include "platform/shazamkit/sh_signature.h"

namespace plim {

struct AudioFileSignature {
  shazamkit::SHSignature signature{fingerprint::Constellation{}};
  std::string content_hash;  // catalog::ContentHasher's digest of the decoded audio, or empty
  double duration_s = 0;     // decoded
  // The length the file's header declares, when it declares one reliably
  // (avfaudio::AVAudioFile::declaredLength): longer than duration_s by more
  // than encoders' padding when the file was cut short.
  std::optional<double> declared_duration_s;
};

// Whether SignAudioFile also hashes the decoded audio: the catalog needs it
// to know a file again; matching does not.
enum class ContentHash { kCompute, kSkip };

// Decodes the file at `path` in chunks of a couple of seconds (never the
// whole file in memory) into a signature and, unless skipped, a content
// hash. Throws the
// audio layer's foundation::NSError, also for a file with no audio at all.
// Thread-safe: separate calls share nothing.
AudioFileSignature SignAudioFile(const std::string& path,
                                 ContentHash content_hash = ContentHash::kCompute);

}  // namespace plim

#endif  // PLIM_TOOLS_PLIM_CATALOG_AUDIO_FILE_SIGNATURE_H_
