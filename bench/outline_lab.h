// What the outline lab tools (outline_sweep, outline_bands) share: levels of
// any number of bands, the matcher's preparation of them, and the Pearson
// correlation at every placement with the standing of the best. Lab code:
// plain functions, no error handling beyond empty results.

#ifndef PLIM_BENCH_OUTLINE_LAB_H_
#define PLIM_BENCH_OUTLINE_LAB_H_

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdio>
#include <string>
#include <vector>

#include "platform/fingerprint/fast_math.h"

namespace plim::lab {

// frames x bands levels.
struct Levels {
  int bands = 0;
  std::size_t frames = 0;
  std::vector<float> v;
  float* row(std::size_t k) { return v.data() + k * bands; }
  const float* row(std::size_t k) const { return v.data() + k * bands; }
};

// Each frame's level common to all bands taken out.
inline void RemoveCommon(Levels& l) {
  for (std::size_t k = 0; k < l.frames; ++k) {
    float s = 0;
    for (int b = 0; b < l.bands; ++b) s += l.row(k)[b];
    s /= static_cast<float>(l.bands);
    for (int b = 0; b < l.bands; ++b) l.row(k)[b] -= s;
  }
}

// Local contrast: each cell less the mean of its time neighbourhood
// (+-half frames), a high-pass gentler than a difference.
inline Levels HighPass(const Levels& l, std::size_t half) {
  Levels d = l;
  for (std::size_t k = 0; k < l.frames; ++k) {
    const std::size_t a = k >= half ? k - half : 0, z = std::min(l.frames - 1, k + half);
    for (int b = 0; b < l.bands; ++b) {
      float s = 0;
      for (std::size_t j = a; j <= z; ++j) s += l.row(j)[b];
      d.row(k)[b] = l.row(k)[b] - s / static_cast<float>(z - a + 1);
    }
  }
  return d;
}

// Eight sums let it vectorise.
PLIM_CLONE_FOR_AVX2 inline float Dot(const float* a, const float* b, std::size_t n) {
  float s[8] = {};
  std::size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    for (int j = 0; j < 8; ++j) s[j] += a[i + j] * b[i + j];
  }
  float rest = 0;
  for (; i < n; ++i) rest += a[i] * b[i];
  return ((s[0] + s[1]) + (s[2] + s[3])) + ((s[4] + s[5]) + (s[6] + s[7])) + rest;
}

// Pearson correlation of `q` at every placement in `r` (of as many bands),
// every band's mean removed on both sides.
inline std::vector<float> Correlate(Levels q, const Levels& r) {
  std::vector<float> scores;
  const std::size_t n = q.frames;
  const int bands = q.bands;
  if (n == 0 || r.frames < n) return scores;
  double qn = 0;
  for (int b = 0; b < bands; ++b) {
    double m = 0;
    for (std::size_t k = 0; k < n; ++k) m += q.row(k)[b];
    m /= static_cast<double>(n);
    for (std::size_t k = 0; k < n; ++k) {
      q.row(k)[b] -= static_cast<float>(m);
      qn += q.row(k)[b] * q.row(k)[b];
    }
  }
  qn = std::sqrt(qn);
  std::vector<double> s1((r.frames + 1) * bands, 0), s2((r.frames + 1) * bands, 0);
  for (std::size_t k = 0; k < r.frames; ++k) {
    for (int b = 0; b < bands; ++b) {
      s1[(k + 1) * bands + b] = s1[k * bands + b] + r.row(k)[b];
      s2[(k + 1) * bands + b] = s2[k * bands + b] + double(r.row(k)[b]) * r.row(k)[b];
    }
  }
  scores.resize(r.frames - n + 1);
  for (std::size_t o = 0; o + n <= r.frames; ++o) {
    const double dot = Dot(q.v.data(), r.row(o), n * bands);
    double var = 0;
    for (int b = 0; b < bands; ++b) {
      const double a = s1[(o + n) * bands + b] - s1[o * bands + b];
      var += s2[(o + n) * bands + b] - s2[o * bands + b] - a * a / static_cast<double>(n);
    }
    scores[o] = var > 0 && qn > 0 ? static_cast<float>(dot / (qn * std::sqrt(var))) : 0.f;
  }
  return scores;
}

// The best of `scores` and its standing against the placements more than
// half the query (`n` frames) away; -1 and -99 when there are too few.
inline void Best(const std::vector<float>& scores, std::size_t n, double& best, double& standing) {
  best = -1;
  standing = -99;
  if (scores.empty()) return;
  const std::size_t at = std::max_element(scores.begin(), scores.end()) - scores.begin();
  best = scores[at];
  double sum = 0, sq = 0;
  int c = 0;
  for (std::size_t o = 0; o < scores.size(); ++o) {
    if (o + n / 2 >= at && o <= at + n / 2) continue;
    sum += scores[o];
    sq += double(scores[o]) * scores[o];
    ++c;
  }
  if (c < 50) return;
  const double m = sum / c, sd = std::sqrt(std::max(1e-9, (sq - sum * m) / (c - 1)));
  standing = (best - m) / sd;
}

// A query's best correlations and standings, over its expected recording
// and over every other one.
struct Standings {
  bool has_expected = false;
  double expected_best = -1, expected_standing = -99;
  double other_best = -1, other_standing = -99;

  void Add(bool expected, double best, double standing) {
    if (expected) {
      has_expected = true;
      expected_best = std::max(expected_best, best);
      expected_standing = std::max(expected_standing, standing);
    } else {
      other_best = std::max(other_best, best);
      other_standing = std::max(other_standing, standing);
    }
  }

  // The output columns under `name`: tab, name, the expected recording's
  // best and standing ("-" when none is expected), the others'.
  std::string Cells(const std::string& name) const {
    char cells[300];
    if (has_expected) {
      std::snprintf(cells, sizeof cells, "\t%s\t%.4f\t%.2f\t%.4f\t%.2f", name.c_str(),
                    expected_best, expected_standing, other_best, other_standing);
    } else {
      std::snprintf(cells, sizeof cells, "\t%s\t-\t-\t%.4f\t%.2f", name.c_str(), other_best,
                    other_standing);
    }
    return cells;
  }
};

}  // namespace plim::lab

#endif  // PLIM_BENCH_OUTLINE_LAB_H_
