// Damage found in the wild in Ogg Vorbis files, applied to `ogg`, a whole
// file's bytes, by taking it apart into pages and putting it back together
// with each page's checksum made afresh. Both throw std::runtime_error when
// `ogg` is not a sequence of Ogg pages.

#ifndef PLIM_TESTS_PLATFORM_AVFAUDIO_OGG_PAGES_H_
#define PLIM_TESTS_PLATFORM_AVFAUDIO_OGG_PAGES_H_

#include <string>

namespace plim::testing {

// The last page's granule position set to 0 and its last packet overwritten
// with 0x01 bytes: that packet's duration wraps to 2^32 frames and it does
// not decode.
std::string wrapLastVorbisPacket(const std::string& ogg);

// The three header packets repeated right after the first set, in the same
// logical stream, as some encoders write them; with `damage_setup`, the
// first setup header is zeroed past its first half, so that no decoder can
// use it.
std::string repeatVorbisHeaders(const std::string& ogg, bool damage_setup = false);

}  // namespace plim::testing

#endif  // PLIM_TESTS_PLATFORM_AVFAUDIO_OGG_PAGES_H_
