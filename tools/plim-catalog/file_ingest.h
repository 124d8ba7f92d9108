// The work done for one file by `plim-catalog add`, away from the writer:
// the cheap already-added check, decoding, fingerprinting, hashing, tags.

#ifndef PLIM_TOOLS_PLIM_CATALOG_FILE_INGEST_H_
#define PLIM_TOOLS_PLIM_CATALOG_FILE_INGEST_H_

#include <cstdint>
#include <optional>
#include <string>

#include "platform/catalog/catalog_store.h"
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
using MetadataOverrides = MetadataRow;

// What the catalog knows of the file at a path.
struct KnownFile {
  std::optional<catalog::RecordingId> id;  // the recording added from the path
  // The file at the path (the recording's, or a copy's) has the size and
  // time it had when added.
  bool unchanged = false;
  double duration_s = 0;  // of that recording
};

// A file's size and modification time, as the catalog records them.
struct FileStamp {
  std::uint64_t size_bytes = 0;
  std::int64_t modified_ns = 0;  // since the Unix epoch
};

// The stamp of the file at `path`, or nullopt with errno set when it can't
// be read.
std::optional<FileStamp> StampOf(const std::string& path);

// Looks `path` up in `reader`, comparing with the file's `stamp` now.
// Throws NSError for a damaged catalog.
KnownFile LookUpFile(const std::string& path, const FileStamp& stamp,
                     const catalog::CatalogReader& reader);

struct IngestResult {
  enum class Kind {
    kReady,      // `item` is ready to add
    kUnchanged,  // already in the catalog from this path, same size and time
    kNotAudio,   // found in a folder and not an audio file: left out, and counted
    kFailed,     // `problem` says why
  };
  Kind kind = Kind::kFailed;
  std::string path;
  std::uint64_t size_bytes = 0;
  double audio_s = 0;  // decoded
  std::string problem;
  // For kReady: what is wrong with the file that did not stop it being
  // added (a file cut short, tags with several values), one line each.
  std::vector<std::string> warnings;
  catalog::NewRecording item;
  // For kReady: the recording added earlier from the same path, if any.
  std::optional<catalog::RecordingId> known_id;
};

// Processes `candidate`: skipped when `catalog` has it from the same path
// with the same size and modification time; otherwise decoded in chunks
// (never the whole file in memory), fingerprinted and hashed, and described
// from its tags and `overrides`. Never throws for a problem with the file;
// the result says what happened. Thread-safe: run on many files at once.
IngestResult IngestFile(const Candidate& candidate, const catalog::CatalogStore& catalog,
                        const MetadataOverrides& overrides);

}  // namespace plim

#endif  // PLIM_TOOLS_PLIM_CATALOG_FILE_INGEST_H_
