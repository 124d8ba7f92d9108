// From the path named on the command line to one signature of the whole file.

#ifndef PLIM_AUDIO_MAKE_SIGNATURE_H_
#define PLIM_AUDIO_MAKE_SIGNATURE_H_

#include <string>

#include "platform/shazamkit/sh_signature.h"

namespace plim {

// Opens the file at `path` (a file-system path, never a URL; relative to the
// current directory), reads all of it into one PCM buffer in its processing
// format with one read, and returns the signature of that buffer. File,
// buffer and generator are released before it returns, on every path.
// Throws the audio layer's or the generator's foundation::NSError unchanged,
// including for a file longer than one buffer can hold (4,294,967,295
// frames), and RunError code 3 when no buffer can be made.
shazamkit::SHSignature makeSignature(const std::string& path);

}  // namespace plim

#endif  // PLIM_AUDIO_MAKE_SIGNATURE_H_
