// The errors of the audio layer: NSError values in kAVFAudioErrorDomain whose
// descriptions name the file. Private to the audio layer.

#ifndef PLIM_PLATFORM_AVFAUDIO_FILE_ERROR_H_
#define PLIM_PLATFORM_AVFAUDIO_FILE_ERROR_H_

#include <cstdint>
#include <string>

#include "platform/foundation/ns_error.h"

namespace plim::avfaudio {

// The error with `code` (one of the kAVAudioFileError constants) about the
// file at `path`. `reason` completes the description of
// kAVAudioFileErrorUnreadable ("could not be read: REASON.") and is ignored
// for the other codes, whose texts are fixed.
foundation::NSError FileError(std::int64_t code, const std::string& path,
                              const std::string& reason = "");

// `text`, a library's message written as a sentence, lowercased at its start
// and without a trailing period, ready to stand as a REASON. Thread-safe.
std::string AsReason(std::string text);

// The C library's text for the errno value `error`, as a REASON.
// Thread-safe.
std::string SystemErrorText(int error);

}  // namespace plim::avfaudio

#endif  // PLIM_PLATFORM_AVFAUDIO_FILE_ERROR_H_
