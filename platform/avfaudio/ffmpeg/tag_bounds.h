// A bound on the tags of a file, checked before FFmpeg opens it.
//
// FFmpeg's demuxers put every tag of a file into one dictionary while
// avformat_open_input runs, and each insertion searches the dictionary
// from the start: a 10-s FLAC with 60,000 comments takes over a minute to
// open, and no interrupt callback is called meanwhile. The tag headers
// that demuxers read this way declare their count or size up front, so a
// few reads tell such a file apart. Private to the audio layer's FFmpeg
// module.

#ifndef PLIM_PLATFORM_AVFAUDIO_FFMPEG_TAG_BOUNDS_H_
#define PLIM_PLATFORM_AVFAUDIO_FFMPEG_TAG_BOUNDS_H_

#include <cstddef>
#include <cstdint>

#include "platform/avfaudio/file_input.h"

namespace plim::avfaudio {

// Far above what taggers write (a few dozen tags, pictures of a few MB).
inline constexpr std::uint64_t kMostTags = 10'000;
inline constexpr std::uint64_t kMostTagBytes = std::uint64_t{16} << 20;

// Reads the tag headers at the start of `input` that FFmpeg would read
// into its dictionary: ID3v2 tags, a FLAC file's metadata blocks, the
// comment header of each stream of an Ogg file (Vorbis, Opus, FLAC,
// Speex, Theora), an MP4 file's user data and item lists, and an APEv2
// tag at the end. Throws foundation::NSError
// (kAVAudioFileErrorUnreadable, naming the file) when they hold more than kMostTags tags or
// kMostTagBytes bytes; returns quietly for any other file, damaged ones included, which are left to
// FFmpeg. Reads at most a little more than kMostTagBytes.
void RefuseUnboundedTags(const FileInput& input);

}  // namespace plim::avfaudio

#endif  // PLIM_PLATFORM_AVFAUDIO_FFMPEG_TAG_BOUNDS_H_
