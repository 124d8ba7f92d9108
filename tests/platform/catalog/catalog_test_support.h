// Synthetic recordings and index checks shared by the catalog's tests.

#ifndef PLIM_TESTS_PLATFORM_CATALOG_CATALOG_TEST_SUPPORT_H_
#define PLIM_TESTS_PLATFORM_CATALOG_CATALOG_TEST_SUPPORT_H_

#include <algorithm>
#include <cstdint>
#include <map>
#include <random>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "platform/catalog/catalog.h"

namespace plim::catalog::testing {

// Every synthetic recording has this landmark (at frame = its seed), so the
// postings of this one hash count the recordings a snapshot holds.
inline constexpr std::uint32_t kSharedHash = 0x3FFFFFF;

// `count` landmarks drawn from a small hash space, so that recordings share
// index keys, with a few (hash, frame) pairs repeated as a fingerprint may.
inline std::vector<fingerprint::Landmark> SyntheticLandmarks(std::uint32_t seed, int count) {
  std::mt19937 rng(seed);
  std::vector<fingerprint::Landmark> landmarks;
  for (int i = 0; i < count; ++i) {
    landmarks.push_back(
        {static_cast<std::uint32_t>(rng() % 4096), static_cast<std::uint32_t>(i / 2)});
  }
  for (int i = 0; i < std::min(count, 10); ++i)
    landmarks.push_back(landmarks[static_cast<std::size_t>(i)]);
  landmarks.push_back({kSharedHash, seed});
  return landmarks;
}

inline NewRecording SyntheticRecording(std::uint32_t seed, int landmark_count,
                                       const std::string& source_path = "") {
  NewRecording item;
  item.recording.title = "Title " + std::to_string(seed);
  item.recording.artist = "Artist " + std::to_string(seed % 3);
  item.recording.content_hash = "content-" + std::to_string(seed);
  item.recording.duration_s = 1.5 * seed;
  item.recording.source_path = source_path;
  item.landmarks = SyntheticLandmarks(seed, landmark_count);
  return item;
}

inline std::set<std::pair<std::uint32_t, std::uint32_t>> DistinctPairs(
    const std::vector<fingerprint::Landmark>& landmarks) {
  std::set<std::pair<std::uint32_t, std::uint32_t>> pairs;
  for (const auto& l : landmarks) pairs.insert({l.hash, l.anchor_frame});
  return pairs;
}

// The (hash, frame) pairs the index holds for recording `id`, looked up
// through the hashes of `landmarks`.
inline std::set<std::pair<std::uint32_t, std::uint32_t>> IndexedPairs(
    const Catalog::Reader& reader, RecordingId id,
    const std::vector<fingerprint::Landmark>& landmarks) {
  std::set<std::uint32_t> hashes;
  for (const auto& l : landmarks) hashes.insert(l.hash);
  std::set<std::pair<std::uint32_t, std::uint32_t>> pairs;
  std::vector<Posting> postings;
  for (std::uint32_t hash : hashes) {
    postings.clear();
    reader.Lookup(hash, postings);
    for (const Posting& p : postings) {
      if (p.recording == id) pairs.insert({hash, p.anchor_frame});
    }
  }
  return pairs;
}

}  // namespace plim::catalog::testing

#endif  // PLIM_TESTS_PLATFORM_CATALOG_CATALOG_TEST_SUPPORT_H_
