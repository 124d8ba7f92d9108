// A recording to add, made ready before any store is touched: texts
// repaired, landmarks sorted and cut to what the index holds, peaks in time
// order, the picture named. Shared by both stores.
//
// Internal to the catalog.

#ifndef PLIM_PLATFORM_CATALOG_PREPARED_RECORDING_H_
#define PLIM_PLATFORM_CATALOG_PREPARED_RECORDING_H_

#include <string>
#include <vector>

#include "platform/catalog/catalog_store.h"

namespace plim::catalog {

struct PreparedRecording {
  Recording recording;
  // Sorted by (hash, frame), distinct, only those the index can hold.
  std::vector<fingerprint::Landmark> landmarks;
  std::vector<std::uint32_t> hash_prefixes;  // their distinct HashListPrefixes, ascending
  std::vector<fingerprint::Peak> peaks;  // ordered by time
  const fingerprint::BandOutline* outline = nullptr;  // &item.outline
  RecordingId requested_id = 0;
  const Artwork* artwork = nullptr;  // item.artwork when it has bytes, else null
  std::string artwork_file;
};

// `item` made ready; the result points into `item`, which must outlive it.
// Throws foundation::NSError (kCatalogErrorInvalidArgument, naming
// `quoted_location`) for a missing content hash or a hash too wide.
PreparedRecording Prepare(const NewRecording& item, const std::string& quoted_location);

// Applies the texts, genres and source file figures of `change` to
// `recording` (texts repaired to valid UTF-8); the artwork is left to the store.
void ApplyMetadataChange(Recording& recording, const MetadataChange& change);

}  // namespace plim::catalog

#endif  // PLIM_PLATFORM_CATALOG_PREPARED_RECORDING_H_
