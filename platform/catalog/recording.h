// What the catalog knows about one reference recording.

#ifndef PLIM_PLATFORM_CATALOG_RECORDING_H_
#define PLIM_PLATFORM_CATALOG_RECORDING_H_

#include <cstdint>
#include <string>
#include <vector>

namespace plim::catalog {

// Names a recording for the catalog's lifetime. Ids start at 1 and are never
// reused, not even after the recording is removed; 0 names nothing.
using RecordingId = std::uint32_t;

// A plain value. Every text is valid UTF-8 (the catalog repairs what it is
// given with foundation::toValidUTF8).
struct Recording {
  std::string title;
  std::string artist;
  // A URL of the cover art. Read back from a catalog that keeps the picture
  // itself (see artwork_file), it is the file:// URL of that copy.
  std::string artwork_url;
  std::string subtitle;  // the album
  std::string isrc;
  std::vector<std::string> genres;
  double duration_s = 0;
  // The file it was added from, absolute, as it was then.
  std::string source_path;
  // That file's size and modification time when it was added: a later add
  // of an unchanged file is skipped without decoding it.
  std::uint64_t source_size_bytes = 0;
  std::int64_t source_modified_ns = 0;  // since the Unix epoch
  // Lowercase hex of a hash of the decoded audio (see ContentHasher): equal
  // for two files holding the same audio, whatever their tags.
  std::string content_hash;
  // Distinct (hash, anchor frame) postings the recording has in the index.
  // Set by the catalog when the recording is added.
  std::uint64_t landmark_count = 0;
  // The name of the cover picture inside the catalog's artwork/ folder, or
  // empty when the artwork URL points elsewhere. Set by the catalog.
  std::string artwork_file;

  bool operator==(const Recording&) const = default;
};

// Another file holding a recording's music: a byte-identical copy, or the
// same music in another format, recorded when it was added after the
// recording. A plain value.
struct RecordingCopy {
  RecordingId id = 0;  // the recording it is a copy of
  std::string path;    // absolute, as it was when recorded
  // The file's size and modification time then: a later add of an
  // unchanged file is skipped without decoding it.
  std::uint64_t size_bytes = 0;
  std::int64_t modified_ns = 0;  // since the Unix epoch

  bool operator==(const RecordingCopy&) const = default;
};

}  // namespace plim::catalog

#endif  // PLIM_PLATFORM_CATALOG_RECORDING_H_
