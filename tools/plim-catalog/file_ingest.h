// The work done for one file by `plim-catalog add`, away from the writer:
// the cheap already-added check, decoding, fingerprinting, hashing, tags.

#ifndef PLIM_TOOLS_PLIM_CATALOG_FILE_INGEST_H_
#define PLIM_TOOLS_PLIM_CATALOG_FILE_INGEST_H_

#include <cstdint>
#include <optional>
#include <string>

#include "platform/catalog/catalog.h"
#include "tools/plim-catalog/metadata_csv.h"

namespace plim {

// A file to add, found on the command line or in a folder.
struct Candidate {
  std::string path;               // absolute, lexically normal
  bool named_explicitly = false;  // given by the user rather than found in a folder
  std::uint64_t size_bytes = 0;
};

// Metadata the user gave for every file (command-line options) or for this
// file (its row of the metadata CSV). Set fields replace the file's tags.
struct MetadataOverrides {
  std::optional<std::string> artist;
  std::optional<std::string> title;
  std::optional<std::string> artwork;  // a URL, or a path to an image file
  std::optional<std::string> album;
  std::optional<std::string> isrc;
  std::optional<std::vector<std::string>> genres;
};

struct IngestResult {
  enum class Kind {
    kReady,      // `item` is ready to add
    kUnchanged,  // already in the catalog from this path, same size and time
    kNotAudio,   // found in a folder and not an audio file: silently left out
    kFailed,     // `problem` says why
  };
  Kind kind = Kind::kFailed;
  std::string path;
  std::uint64_t size_bytes = 0;
  double audio_s = 0;  // decoded
  std::string problem;
  catalog::NewRecording item;
};

// Processes `candidate`: skipped when `catalog` has it from the same path
// with the same size and modification time; otherwise decoded in chunks
// (never the whole file in memory), fingerprinted and hashed, and described
// from its tags and `overrides`. Never throws for a problem with the file;
// the result says what happened. Thread-safe: run on many files at once.
IngestResult IngestFile(const Candidate& candidate, const catalog::Catalog& catalog,
                        const MetadataOverrides& overrides);

}  // namespace plim

#endif  // PLIM_TOOLS_PLIM_CATALOG_FILE_INGEST_H_
