// Decoding with FFmpeg, which lives in a module of its own
// (libplim_avfaudio_ffmpeg.so) that is loaded the first time a file needs
// it, so that a program reading only WAV files never loads FFmpeg's
// libraries. Private to the audio layer.

#ifndef PLIM_PLATFORM_AVFAUDIO_FFMPEG_MODULE_H_
#define PLIM_PLATFORM_AVFAUDIO_FFMPEG_MODULE_H_

#include <memory>
#include <string>

#include "platform/avfaudio/audio_decoder.h"
#include "platform/avfaudio/file_input.h"
#include "platform/avfaudio/live_audio_source.h"

namespace plim::avfaudio {

// The module's one exported function, looked up by this name: opens `input`
// with FFmpeg and returns a new decoder that the caller owns and deletes.
// Throws foundation::NSError as OpenFfmpegDecoder does.
inline constexpr char kFfmpegModuleEntryName[] = "PlimAvfaudioOpenFfmpegDecoder";
using FfmpegModuleEntry = AudioDecoder* (*)(const FileInput& input);

// The module's second export: opens a live source as OpenLiveAudioSource
// does (live_audio_source.h) and returns it for the caller to delete.
inline constexpr char kLiveSourceEntryName[] = "PlimAvfaudioOpenLiveSource";
using LiveSourceEntry = LiveAudioSource* (*)(const std::string& source,
                                             const LiveSourceOptions& options);

// A decoder for the first decodable audio stream of `input` (any container
// and codec FFmpeg reads), which must outlive it. Loads the module on the
// first call; thread-safe. Throws foundation::NSError:
// kAVAudioFileErrorNotAudioFile when FFmpeg finds no format or no audio
// stream; kAVAudioFileErrorNoDecodableAudio when no audio stream decodes;
// kAVAudioFileErrorUnreadable on input/output failures, and when the module
// can't be loaded (the description names the module and why).
std::unique_ptr<AudioDecoder> OpenFfmpegDecoder(const FileInput& input);

}  // namespace plim::avfaudio

#endif  // PLIM_PLATFORM_AVFAUDIO_FFMPEG_MODULE_H_
