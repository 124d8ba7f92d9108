// Recordings made again from the files they were added from, with their
// ids, metadata and artwork: how rebuild and copy fill a catalog.

#ifndef PLIM_TOOLS_PLIM_CATALOG_REDO_RECORDINGS_H_
#define PLIM_TOOLS_PLIM_CATALOG_REDO_RECORDINGS_H_

#include <string>
#include <vector>

#include "platform/catalog/catalog_store.h"

namespace plim {

struct OldRecording {
  catalog::RecordingId id = 0;
  catalog::Recording recording;
};

// Decodes the source file of each of `old` (in ascending id order) on
// `jobs` threads (0: one per core) and adds it to `destination` with its
// id, metadata, and the picture `source` holds for it, one recording at a
// time in id order, then the copies `source` records of them. Recordings
// whose files can't be decoded are named on
// standard error and in `left_out`. Returns how many were added. Throws
// the destination's foundation::NSError when a write fails (the recordings
// added before stay).
std::size_t RedoRecordings(const std::vector<OldRecording>& old,
                           const catalog::CatalogStore& source, catalog::CatalogStore& destination,
                           unsigned jobs, std::vector<std::string>& left_out);

}  // namespace plim

#endif  // PLIM_TOOLS_PLIM_CATALOG_REDO_RECORDINGS_H_
