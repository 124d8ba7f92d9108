// What a walk of a whole catalog found: every stored value read and its
// checksum checked, and the tables checked against each other.

#ifndef PLIM_PLATFORM_CATALOG_CATALOG_VERIFICATION_H_
#define PLIM_PLATFORM_CATALOG_CATALOG_VERIFICATION_H_

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "platform/catalog/recording.h"

namespace plim::catalog {

// One damaged thing.
struct CatalogDamage {
  RecordingId id = 0;       // the recording it concerns, or 0 for damage of no one recording
  std::string source_path;  // that recording's file, when its record could be read
  std::string what;         // what is wrong, e.g. "its record does not match its checksum"
};

struct VerificationReport {
  // Every record that could be read, in id order (for a rebuild that skips
  // the damaged ones).
  std::vector<std::pair<RecordingId, Recording>> recordings;
  std::uint64_t index_chunks = 0;  // chunks of the index read
  std::uint64_t postings = 0;      // postings read, in chunks and the fresh table
  std::uint64_t peak_blocks = 0;
  // Values written before catalogs kept checksums: read and found well
  // formed, but their bytes can't be checked.
  std::uint64_t unchecked_values = 0;
  std::vector<CatalogDamage> damage;  // empty for an intact catalog

  bool Intact() const { return damage.empty(); }
};

}  // namespace plim::catalog

#endif  // PLIM_PLATFORM_CATALOG_CATALOG_VERIFICATION_H_
