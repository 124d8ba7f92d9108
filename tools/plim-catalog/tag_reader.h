// The tags and embedded cover art of an audio file, read with TagLib.

#ifndef PLIM_TOOLS_PLIM_CATALOG_TAG_READER_H_
#define PLIM_TOOLS_PLIM_CATALOG_TAG_READER_H_

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/catalog/lmdb/catalog.h"

namespace plim {

// What a file says about itself. Texts are UTF-8; empty when absent.
struct FileTags {
  std::string title;
  std::string artist;
  std::string album;
  std::string isrc;
  std::vector<std::string> genres;
  // The tags among TITLE, ARTIST, ALBUM and ISRC that hold several values
  // (of which the field above holds the first), with their counts, in that
  // order.
  std::vector<std::pair<std::string, std::size_t>> several_values;
  // The front cover (else the first picture): ID3v2 APIC in MP3, WAV and
  // AIFF; FLAC and Ogg picture blocks; MP4 covr.
  std::optional<catalog::Artwork> picture;
};

// Reads `path`'s tags. A file TagLib can't read (unknown format, no tags,
// damaged) gives empty tags: tags are optional, and whether the file holds
// audio is for the audio layer to say. Never throws for file problems.
// Thread-safe across distinct files.
FileTags ReadFileTags(const std::string& path);

}  // namespace plim

#endif  // PLIM_TOOLS_PLIM_CATALOG_TAG_READER_H_
