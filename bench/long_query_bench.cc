// How long the whole-file answer's matching takes for a long file: the
// signatures of many recordings joined end to end into one of HOURS hours,
// matched once against a catalog, as plim-shazamkit matches a long file.
//
//   long_query_bench CATALOG_DIR HOURS FILE...
//
// Prints the query's duration and peaks, the CPU time from the signature to
// the match report (query landmarks, lookups, alignment, verification), and
// the best candidate. PLIM_UNBOUNDED_QUERY=1 matches every query landmark of
// the whole signature instead, as plim-shazamkit once did. The files are read in turn, again and
// again, until the hours are filled; each is decoded once.

#include <time.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/catalog/lmdb/catalog.h"
#include "platform/foundation/ns_error.h"
#include "platform/matching/matcher.h"
#include "platform/shazamkit/catalog_recognition_service.h"
#include "tools/plim-catalog/audio_file_signature.h"

namespace {

double CpuS() {
  timespec now;
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

}  // namespace

int main(int argc, char** argv) {
  using namespace plim;
  if (argc < 4) {
    std::fprintf(stderr, "usage: long_query_bench CATALOG_DIR HOURS FILE...\n");
    return 2;
  }
  try {
    const double wanted_s = std::stod(argv[2]) * 3600;
    std::vector<fingerprint::Constellation> pieces;
    for (int i = 3; i < argc; ++i) {
      pieces.push_back(SignAudioFile(argv[i], ContentHash::kSkip).signature.constellation());
    }
    fingerprint::Constellation joined;
    for (std::size_t i = 0; joined.duration_s < wanted_s; i = (i + 1) % pieces.size()) {
      const auto shift_q = static_cast<std::uint32_t>(
          joined.duration_s / fingerprint::kFrameDurationS * fingerprint::kTimeSubdivisions);
      for (fingerprint::Peak p : pieces[i].peaks) {
        p.time_q += shift_q;
        joined.peaks.push_back(p);
      }
      joined.duration_s += pieces[i].duration_s;
    }
    const shazamkit::SHSignature signature(joined);
    shazamkit::CatalogRecognitionService service(argv[1]);
    service.OpenCatalog();
    // Unbounded: every query landmark of the whole file, as before excerpts.
    const bool unbounded = std::getenv("PLIM_UNBOUNDED_QUERY") != nullptr;
    const double start_s = CpuS();
    matching::MatchReport report =
        unbounded ? matching::FindMatches(*service.OpenCatalog().NewCatalogReader(),
                                          signature.QueryLandmarks(), signature.constellation())
                  : service.Search(signature);
    const double end_s = CpuS();
    std::printf("query %.2f h, %zu peaks, %s: %.2f s CPU from signature to report\n",
                joined.duration_s / 3600, joined.peaks.size(),
                unbounded ? "every landmark" : "as plim-shazamkit matches it", end_s - start_s);
    if (!report.candidates.empty()) {
      const matching::MatchCandidate& best = report.candidates.front();
      std::printf("best: recording %u, accepted %d, aligned %d of %d hits\n", best.recording,
                  best.accepted ? 1 : 0, best.aligned_landmarks, best.hits);
    }
  } catch (const foundation::NSError& error) {
    std::fprintf(stderr, "long_query_bench: %s\n", error.description().c_str());
    return 1;
  }
  return 0;
}
