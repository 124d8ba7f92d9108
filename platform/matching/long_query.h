// Bounds the work of matching a long query as one signature.

#ifndef PLIM_PLATFORM_MATCHING_LONG_QUERY_H_
#define PLIM_PLATFORM_MATCHING_LONG_QUERY_H_

#include "platform/fingerprint/constellation.h"

namespace plim::matching {

// The query peaks that stand for `query` when it is matched whole: all of
// them when it lasts at most kMaxQueryExcerptsS; otherwise only those of
// kQueryExcerpts excerpts, together lasting kMaxQueryExcerptsS, spread
// evenly over it (the first at its start, the last at its end). Peaks keep
// their times and the result its duration, so that an alignment found in
// any excerpt is an alignment of the whole query. Matching time then stays
// bounded whatever the length: an hour's query holds some 70,000 peaks and
// 5 million query landmarks, and looking them all up takes seconds. Pure.
fingerprint::Constellation BoundLongQuery(const fingerprint::Constellation& query);

// The excerpts of a long query: how many, and their total length.
inline constexpr int kQueryExcerpts = 12;
inline constexpr double kMaxQueryExcerptsS = 240;

}  // namespace plim::matching

#endif  // PLIM_PLATFORM_MATCHING_LONG_QUERY_H_
