#include "platform/avfaudio/file_error.h"

#include <string.h>

#include <cctype>
#include <filesystem>

#include "platform/avfaudio/av_audio_file.h"
#include "platform/foundation/quoted_text.h"

namespace plim::avfaudio {

// The C library and FFmpeg capitalise their messages as sentences; ours embed them
// mid-sentence, so the first letter is lowered and any final period dropped.
std::string AsReason(std::string text) {
  while (!text.empty() && (text.back() == '.' || text.back() == ' ' || text.back() == '\n')) {
    text.pop_back();
  }
  // Keep acronyms ("EOF") as they are: lower only a capital followed by a
  // lowercase letter.
  if (text.size() >= 2 && std::isupper(static_cast<unsigned char>(text[0])) &&
      std::islower(static_cast<unsigned char>(text[1]))) {
    text[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(text[0])));
  }
  if (text.empty()) text = "unknown error";
  return text;
}

foundation::NSError FileError(std::int64_t code, const std::string& path,
                              const std::string& reason) {
  const std::string file = "The file " + foundation::QuotedText(path) + " ";
  std::string description;
  switch (code) {
    case kAVAudioFileErrorFileNotFound:
      description = file + "does not exist.";
      break;
    case kAVAudioFileErrorIsDirectory:
      description = file + "is a directory, not an audio file.";
      break;
    case kAVAudioFileErrorPermissionDenied:
      description = file + "could not be read: permission denied.";
      break;
    case kAVAudioFileErrorNotAudioFile:
      description = file + "is not an audio file.";
      break;
    case kAVAudioFileErrorNoDecodableAudio:
      description = file + "holds no audio that can be decoded.";
      break;
    default:
      description = file + "could not be read: " + AsReason(reason) + ".";
      break;
  }
  // "Empty" is the truer word for a file of no bytes, whatever its name
  // made the decoder expect, and the one the catalog tool uses too.
  std::error_code error;
  if ((code == kAVAudioFileErrorNotAudioFile || code == kAVAudioFileErrorNoDecodableAudio) &&
      std::filesystem::is_regular_file(path, error) &&
      std::filesystem::file_size(path, error) == 0 && !error) {
    description = file + "is empty.";
  }
  return foundation::NSError(kAVFAudioErrorDomain, code, description);
}

std::string SystemErrorText(int error) {
  char text[256] = {};
  // The GNU strerror_r may return a static string instead of filling `text`.
  const char* message = strerror_r(error, text, sizeof text);
  return AsReason(message);
}

}  // namespace plim::avfaudio
