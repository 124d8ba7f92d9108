// Thins a constellation to the strongest peaks of each band.
//
// A signature keeps more peaks than a reference indexes: a query then still
// holds a reference's peaks when noise or an effect has pushed them down
// the ranking, while the catalog stays small.

#ifndef PLIM_PLATFORM_FINGERPRINT_PEAK_THINNING_H_
#define PLIM_PLATFORM_FINGERPRINT_PEAK_THINNING_H_

#include <vector>

#include "platform/fingerprint/constellation.h"

namespace plim::fingerprint {

// The band (0 to kBandCount - 1) that a peak's frequency falls in.
int BandOf(const Peak& peak);

// The peaks of `peaks` (ordered by time) that have fewer than
// `per_band_window` stronger peaks of their own band within
// +-kDensityWindowFrames frames. Stronger: more prominent, then earlier,
// then lower. Keeps the order. Pure function.
std::vector<Peak> StrongestPeaks(const std::vector<Peak>& peaks, int per_band_window);

// The peaks a reference keeps beside its landmarks, for checking candidates
// peak by peak: the strongest kReferencePeaksPerBandWindow of each band
// window of `constellation`. Ordered by time. Pure function.
std::vector<Peak> ReferencePeaks(const Constellation& constellation);

}  // namespace plim::fingerprint

#endif  // PLIM_PLATFORM_FINGERPRINT_PEAK_THINNING_H_
