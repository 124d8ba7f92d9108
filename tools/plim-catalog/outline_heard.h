// Whether a recording already found at an alignment still plays through a
// window whose peaks no longer show it, by its band-energy outline.
//
// In a quiet passage under noise a recording's peaks sink below the
// noise's, and a window no longer accepts it; its loudness still rises and
// falls band by band where the reference's does. At a known alignment
// that is enough: the window's outline, a few seconds at a time, is
// correlated with the reference's there and at every other offset nearby,
// and the recording is heard while it stands well above them.

#ifndef PLIM_TOOLS_PLIM_CATALOG_OUTLINE_HEARD_H_
#define PLIM_TOOLS_PLIM_CATALOG_OUTLINE_HEARD_H_

#include <optional>
#include <utility>

#include "platform/catalog/catalog_store.h"
#include "platform/fingerprint/band_outline.h"
#include "tools/plim-catalog/stretch_edges.h"

namespace plim {

// The outline is compared kOutlineHeardSegmentS at a time, a segment
// starting every kOutlineHeardStepS; a segment is heard when it correlates
// with the reference at the alignment (within an outline frame) at least
// kOutlineHeardSpreads spreads above the mean of the other offsets within
// kOutlineNullReachS. It need not beat every one of them: a held passage
// or a loop's other repeat fits offsets nearby as well, and the recording,
// already found at this alignment, still plays.
inline constexpr double kOutlineHeardSegmentS = 3.33;
inline constexpr double kOutlineHeardStepS = 1.024;
inline constexpr double kOutlineNullReachS = 15.0;
inline constexpr double kOutlineHeardSpreads = 3.0;
// Segments in a row that may fall short between heard ones.
inline constexpr int kOutlineMissesAllowed = 2;

// Where the recording of `alignment` is heard by its outline in a window
// whose outline is `window` (from `window_start_s`, seconds of the
// stream): from the window's start to the end of the first step of the
// last segment heard before more than kOutlineMissesAllowed in a row are
// not. None when the first segment is not heard, or the recording has no
// outline there. Reads the outline through `reader`; throws what it
// throws.
std::optional<std::pair<double, double>> OutlineHeardSpan(const catalog::CatalogReader& reader,
                                                          const fingerprint::BandOutline& window,
                                                          double window_start_s,
                                                          const StreamAlignment& alignment);

}  // namespace plim

#endif  // PLIM_TOOLS_PLIM_CATALOG_OUTLINE_HEARD_H_
