#include "platform/matching/long_query.h"

#include <algorithm>

namespace plim::matching {

fingerprint::Constellation BoundLongQuery(const fingerprint::Constellation& query) {
  if (query.duration_s <= kMaxQueryExcerptsS) return query;
  const double excerpt_s = kMaxQueryExcerptsS / kQueryExcerpts;
  const double spacing_s = (query.duration_s - excerpt_s) / (kQueryExcerpts - 1);
  const double q_per_s = fingerprint::kTimeSubdivisions / fingerprint::kFrameDurationS;
  fingerprint::Constellation bounded;
  bounded.duration_s = query.duration_s;
  // Peaks are in time order, so each excerpt is one run of them.
  for (int i = 0; i < kQueryExcerpts; ++i) {
    const double begin_q = i * spacing_s * q_per_s;
    const double end_q = begin_q + excerpt_s * q_per_s;
    auto first =
        std::lower_bound(query.peaks.begin(), query.peaks.end(), begin_q,
                         [](const fingerprint::Peak& p, double q) { return p.time_q < q; });
    auto last = std::lower_bound(first, query.peaks.end(), end_q,
                                 [](const fingerprint::Peak& p, double q) { return p.time_q < q; });
    bounded.peaks.insert(bounded.peaks.end(), first, last);
  }
  return bounded;
}

}  // namespace plim::matching
