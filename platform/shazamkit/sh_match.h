// What the recognition service reports: a match and its media items.

#ifndef PLIM_PLATFORM_SHAZAMKIT_SH_MATCH_H_
#define PLIM_PLATFORM_SHAZAMKIT_SH_MATCH_H_

#include <optional>
#include <string>
#include <vector>

#include "platform/foundation/url.h"

namespace plim::shazamkit {

// One recording that a signature matched. Plain value.
struct SHMatchedMediaItem {
  std::optional<std::string> artist;
  std::optional<std::string> title;
  std::optional<foundation::URL> artworkURL;
  std::optional<std::string> subtitle;  // the album
  std::optional<std::string> isrc;
  std::vector<std::string> genres;
  // Seconds into the reference recording at which the query's audio starts.
  double matchOffset = 0;
  // How much higher the query's frequencies lie than the reference's, as a
  // fraction (0.03: 3% higher, as when played 3% faster).
  double frequencySkew = 0;
  // 0 to 1; 0.5 is the least a match can have.
  double confidence = 0;
};

// A successful match: the media items, best first. May be empty.
struct SHMatch {
  std::vector<SHMatchedMediaItem> mediaItems;
};

}  // namespace plim::shazamkit

#endif  // PLIM_PLATFORM_SHAZAMKIT_SH_MATCH_H_
