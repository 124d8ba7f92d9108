// Ogg files taken apart into pages and put back together, for tests that
// damage or rearrange them as files found in the wild are.

#ifndef PLIM_TESTS_PLATFORM_AVFAUDIO_OGG_PAGES_H_
#define PLIM_TESTS_PLATFORM_AVFAUDIO_OGG_PAGES_H_

#include <cstdint>
#include <string>
#include <vector>

namespace plim::testing {

// One page: the 27 header bytes (checksum included, recomputed on writing),
// the segment table, and the body.
struct OggPage {
  std::string header;
  std::vector<std::uint8_t> segments;
  std::string body;

  void setGranule(std::int64_t granule);
  void setSequence(std::uint32_t sequence);
  std::uint8_t flags() const { return static_cast<std::uint8_t>(header[5]); }
  void setFlags(std::uint8_t flags) { header[5] = static_cast<char>(flags); }
  // The byte ranges of the body that end a packet (a lacing value below 255),
  // as [begin, end) offsets into body; a packet continued from the previous
  // page starts at 0.
  std::vector<std::pair<std::size_t, std::size_t>> packetRanges() const;
};

// The pages of `bytes`, a whole Ogg file. Throws std::runtime_error when a
// page does not start where the previous one ended.
std::vector<OggPage> parseOggPages(const std::string& bytes);

// The file made of `pages`, each page's checksum computed afresh.
std::string writeOggPages(const std::vector<OggPage>& pages);

// Damage found in the wild, applied to `ogg`, the bytes of an Ogg Vorbis file.

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
