// One entry of the catalog's inverted index.

#ifndef PLIM_PLATFORM_CATALOG_POSTING_H_
#define PLIM_PLATFORM_CATALOG_POSTING_H_

#include <cstdint>

#include "platform/catalog/recording.h"

namespace plim::catalog {

// `recording` has a landmark with the looked-up hash at `anchor_frame`.
struct Posting {
  RecordingId recording;
  std::uint32_t anchor_frame;

  bool operator==(const Posting&) const = default;
};

}  // namespace plim::catalog

#endif  // PLIM_PLATFORM_CATALOG_POSTING_H_
