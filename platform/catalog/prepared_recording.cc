#include "platform/catalog/prepared_recording.h"

#include <algorithm>

#include "platform/catalog/artwork_files.h"
#include "platform/catalog/catalog_error.h"
#include "platform/catalog/lmdb/index_layout.h"
#include "platform/catalog/record_format.h"
#include "platform/foundation/ns_error.h"
#include "platform/foundation/utf8.h"

namespace plim::catalog {

PreparedRecording Prepare(const NewRecording& item, const std::string& quoted_location) {
  if (item.recording.content_hash.empty()) {
    throw foundation::NSError(
        kCatalogErrorDomain, kCatalogErrorInvalidArgument,
        "A recording added to the catalog at " + quoted_location + " has no content hash");
  }
  PreparedRecording p;
  const Recording& in = item.recording;
  Recording& out = p.recording;
  out = in;
  for (std::string* text : {&out.title, &out.artist, &out.artwork_url, &out.subtitle, &out.isrc,
                            &out.source_path, &out.content_hash}) {
    *text = foundation::toValidUTF8(*text);
  }
  for (std::string& genre : out.genres) genre = foundation::toValidUTF8(genre);
  p.landmarks.reserve(item.landmarks.size());
  for (const fingerprint::Landmark& landmark : item.landmarks) {
    if (landmark.hash > kMaxIndexedHash) {
      throw foundation::NSError(kCatalogErrorDomain, kCatalogErrorInvalidArgument,
                                "A recording added to the catalog at " + quoted_location +
                                    " has a landmark hash wider than " +
                                    std::to_string(fingerprint::kHashBits) + " bits");
    }
    // Over 37 hours into a recording: the frame would not fit the index.
    if (landmark.anchor_frame <= kMaxIndexedAnchorFrame) p.landmarks.push_back(landmark);
  }
  std::sort(p.landmarks.begin(), p.landmarks.end(), [](const auto& a, const auto& b) {
    return a.hash != b.hash ? a.hash < b.hash : a.anchor_frame < b.anchor_frame;
  });
  p.landmarks.erase(std::unique(p.landmarks.begin(), p.landmarks.end()), p.landmarks.end());
  for (const fingerprint::Landmark& landmark : p.landmarks) {
    const std::uint32_t prefix = HashListPrefix(landmark.hash);
    if (p.hash_prefixes.empty() || p.hash_prefixes.back() != prefix) {
      p.hash_prefixes.push_back(prefix);
    }
  }
  p.requested_id = item.id;
  p.peaks = item.peaks;
  p.outline = &item.outline;
  std::stable_sort(p.peaks.begin(), p.peaks.end(),
                   [](const auto& a, const auto& b) { return a.time_q < b.time_q; });
  out.landmark_count = p.landmarks.size();
  out.artwork_file.clear();
  if (item.artwork && !item.artwork->bytes.empty()) {
    p.artwork = &*item.artwork;
    p.artwork_file = ArtworkFileName(item.artwork->bytes, item.artwork->mime_type);
    out.artwork_url.clear();
  }
  return p;
}

void ApplyMetadataChange(Recording& r, const MetadataChange& change) {
  auto set = [](std::string& field, const std::optional<std::string>& value) {
    if (value) field = foundation::toValidUTF8(*value);
  };
  set(r.title, change.title);
  set(r.artist, change.artist);
  set(r.subtitle, change.album);
  set(r.isrc, change.isrc);
  if (change.genres) {
    r.genres.clear();
    for (const std::string& genre : *change.genres)
      r.genres.push_back(foundation::toValidUTF8(genre));
  }
  if (change.source_size_bytes) r.source_size_bytes = *change.source_size_bytes;
  if (change.source_modified_ns) r.source_modified_ns = *change.source_modified_ns;
}

}  // namespace plim::catalog
