// Measures how many of a clean clip's peaks survive in a processed copy of
// it: the quantity the fingerprint's robustness rests on, and quick to
// measure for a change to the peak picker, with no catalog to rebuild.
//
//   peak_survival < pairs.tsv
//
// Each input line is "clean<TAB>processed<TAB>label": two files holding the
// same excerpt (same start and length). Peaks are compared as a reference
// keeps them (fingerprint::ReferencePeaks of the clean clip) against every
// peak of the processed clip's signature; a peak survives when one lies
// within a frame and a bin of it. Prints, per label, the clips, the
// reference peaks per second, the processed clip's peaks per second, and
// the share that survived; and the share of reference triplet landmarks
// that the processed clip's query landmarks hold.

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <iostream>
#include <map>
#include <string>
#include <vector>

#include "platform/fingerprint/landmark_hasher.h"
#include "platform/fingerprint/peak_thinning.h"
#include "platform/foundation/ns_error.h"
#include "tools/plim-catalog/audio_file_signature.h"

namespace {

using plim::fingerprint::Peak;

struct Tally {
  int clips = 0;
  double seconds = 0;
  long reference_peaks = 0, processed_peaks = 0, survived = 0;
  long reference_landmarks = 0, found_landmarks = 0;
};

bool Near(const Peak& a, const Peak& b) {
  return std::abs(a.TimeFrames() - b.TimeFrames()) <= 1.0 &&
         std::abs((static_cast<double>(a.bin_q) - b.bin_q) / plim::fingerprint::kBinSubdivisions) <=
             1.0;
}

}  // namespace

int main() {
  std::map<std::string, Tally> tallies;
  for (std::string line; std::getline(std::cin, line);) {
    std::size_t first = line.find('\t'), second = line.find('\t', first + 1);
    if (first == std::string::npos || second == std::string::npos) continue;
    const std::string clean_path = line.substr(0, first);
    const std::string processed_path = line.substr(first + 1, second - first - 1);
    Tally& t = tallies[line.substr(second + 1)];
    try {
      plim::AudioFileSignature clean = plim::SignAudioFile(clean_path);
      plim::AudioFileSignature processed = plim::SignAudioFile(processed_path);
      const std::vector<Peak> reference =
          plim::fingerprint::ReferencePeaks(clean.signature.constellation());
      const std::vector<Peak>& query = processed.signature.constellation().peaks;
      ++t.clips;
      t.seconds += clean.duration_s;
      t.reference_peaks += static_cast<long>(reference.size());
      t.processed_peaks += static_cast<long>(query.size());
      std::size_t begin = 0;
      for (const Peak& p : reference) {
        while (begin < query.size() && query[begin].TimeFrames() < p.TimeFrames() - 1.0) ++begin;
        for (std::size_t k = begin;
             k < query.size() && query[k].TimeFrames() <= p.TimeFrames() + 1.0; ++k) {
          if (Near(p, query[k])) {
            ++t.survived;
            break;
          }
        }
      }
      std::vector<plim::fingerprint::Landmark> wanted = clean.signature.ReferenceLandmarks();
      std::vector<plim::fingerprint::Landmark> held = processed.signature.QueryLandmarks();
      std::vector<std::uint32_t> held_hashes;
      for (const auto& l : held) held_hashes.push_back(l.hash);
      std::sort(held_hashes.begin(), held_hashes.end());
      t.reference_landmarks += static_cast<long>(wanted.size());
      for (const auto& l : wanted) {
        t.found_landmarks += std::binary_search(held_hashes.begin(), held_hashes.end(), l.hash);
      }
    } catch (const plim::foundation::NSError& error) {
      std::cerr << error.description() << "\n";
    }
  }
  std::printf("%-14s %6s %10s %10s %9s %10s\n", "label", "clips", "ref/s", "query/s", "survived",
              "landmarks");
  for (const auto& [label, t] : tallies) {
    std::printf("%-14s %6d %10.1f %10.1f %8.1f%% %9.1f%%\n", label.c_str(), t.clips,
                t.reference_peaks / std::max(1.0, t.seconds),
                t.processed_peaks / std::max(1.0, t.seconds),
                100.0 * t.survived / std::max(1L, t.reference_peaks),
                100.0 * t.found_landmarks / std::max(1L, t.reference_landmarks));
  }
  return 0;
}
