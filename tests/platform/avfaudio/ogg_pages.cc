#include "tests/platform/avfaudio/ogg_pages.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <stdexcept>
#include <vector>

namespace plim::testing {
namespace {

void writeLittleEndian(std::string& bytes, std::size_t at, std::uint64_t value, int size) {
  for (int i = 0; i < size; ++i) bytes[at + i] = static_cast<char>(value >> (8 * i));
}

// Ogg's CRC-32: polynomial 0x04C11DB7, not reflected, no final inversion.
std::uint32_t oggChecksum(const std::string& bytes) {
  static const std::array<std::uint32_t, 256> table = [] {
    std::array<std::uint32_t, 256> t{};
    for (std::uint32_t i = 0; i < 256; ++i) {
      std::uint32_t r = i << 24;
      for (int k = 0; k < 8; ++k) r = (r & 0x80000000u) ? (r << 1) ^ 0x04C11DB7u : r << 1;
      t[i] = r;
    }
    return t;
  }();
  std::uint32_t crc = 0;
  for (unsigned char c : bytes) crc = (crc << 8) ^ table[((crc >> 24) ^ c) & 0xFF];
  return crc;
}

// One page: the 27 header bytes (checksum included, recomputed on writing),
// the segment table, and the body.
struct OggPage {
  std::string header;
  std::vector<std::uint8_t> segments;
  std::string body;

  void setGranule(std::int64_t granule) {
    writeLittleEndian(header, 6, static_cast<std::uint64_t>(granule), 8);
  }
  void setSequence(std::uint32_t sequence) { writeLittleEndian(header, 18, sequence, 4); }
  void setFlags(std::uint8_t flags) { header[5] = static_cast<char>(flags); }
  // The byte ranges of the body that end a packet (a lacing value below
  // 255), as [begin, end) offsets into body; a packet continued from the
  // previous page starts at 0.
  std::vector<std::pair<std::size_t, std::size_t>> packetRanges() const {
    std::vector<std::pair<std::size_t, std::size_t>> ranges;
    std::size_t begin = 0, end = 0;
    for (std::uint8_t lacing : segments) {
      end += lacing;
      if (lacing < 255) {
        ranges.emplace_back(begin, end);
        begin = end;
      }
    }
    return ranges;
  }
};

std::vector<OggPage> parseOggPages(const std::string& bytes) {
  std::vector<OggPage> pages;
  for (std::size_t at = 0; at < bytes.size();) {
    if (bytes.compare(at, 4, "OggS") != 0 || at + 27 > bytes.size()) {
      throw std::runtime_error("no Ogg page at byte " + std::to_string(at));
    }
    OggPage page;
    page.header = bytes.substr(at, 27);
    const std::size_t count = static_cast<unsigned char>(bytes[at + 26]);
    std::size_t body_bytes = 0;
    for (std::size_t i = 0; i < count; ++i) {
      page.segments.push_back(static_cast<std::uint8_t>(bytes.at(at + 27 + i)));
      body_bytes += page.segments.back();
    }
    page.body = bytes.substr(at + 27 + count, body_bytes);
    at += 27 + count + body_bytes;
    pages.push_back(std::move(page));
  }
  return pages;
}

std::string writeOggPages(const std::vector<OggPage>& pages) {
  std::string out;
  for (const OggPage& page : pages) {
    std::string bytes = page.header;
    bytes[26] = static_cast<char>(page.segments.size());
    writeLittleEndian(bytes, 22, 0, 4);
    bytes.append(page.segments.begin(), page.segments.end());
    bytes += page.body;
    writeLittleEndian(bytes, 22, oggChecksum(bytes), 4);
    out += bytes;
  }
  return out;
}

}  // namespace

std::string wrapLastVorbisPacket(const std::string& ogg) {
  std::vector<OggPage> pages = parseOggPages(ogg);
  OggPage& last = pages.back();
  last.setGranule(0);
  const auto [begin, end] = last.packetRanges().back();
  std::fill(last.body.begin() + static_cast<std::ptrdiff_t>(begin),
            last.body.begin() + static_cast<std::ptrdiff_t>(end), '\x01');
  return writeOggPages(pages);
}

std::string repeatVorbisHeaders(const std::string& ogg, bool damage_setup) {
  std::vector<OggPage> pages = parseOggPages(ogg);
  std::size_t header_pages = 0;
  for (std::size_t packets = 0; packets < 3;) {
    packets += pages.at(header_pages++).packetRanges().size();
  }
  if (damage_setup) {
    std::string& body = pages[header_pages - 1].body;
    std::fill(body.end() - static_cast<std::ptrdiff_t>(body.size() / 2), body.end(), '\0');
  }
  const std::vector<OggPage> headers(pages.begin(),
                                     pages.begin() + static_cast<std::ptrdiff_t>(header_pages));
  pages.insert(pages.begin() + static_cast<std::ptrdiff_t>(header_pages), headers.begin(),
               headers.end());
  pages[header_pages].setFlags(0);  // not a second beginning of stream
  for (std::size_t i = 0; i < pages.size(); ++i)
    pages[i].setSequence(static_cast<std::uint32_t>(i));
  return writeOggPages(pages);
}

}  // namespace plim::testing
