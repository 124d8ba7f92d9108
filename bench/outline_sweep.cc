// Correlates each query's band-energy outline with every recording's, at
// every placement, under several ways of preparing the levels: what the
// outline can tell without any nomination, and which preparation tells
// most. A lab tool behind the outline's design.
//
//   outline_sweep CATALOG_DIR [JOBS [NAME,...]] < queries.tsv > outline.tsv
//
// NAMEs pick preparations of kAllPreparations (default: hp8, the matcher's).
// Input lines as recognition_sweep's ("path<TAB>condition|source|expected").
// Each output line: the label, then per preparation its name, the best
// correlation and its standing over the expected recording (or "-" when the
// query names none), and the best correlation and best standing over every
// other recording, tab-separated.

#include <algorithm>
#include <array>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <iostream>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "bench/outline_lab.h"
#include "platform/catalog/lmdb/catalog.h"
#include "platform/fingerprint/band_outline.h"
#include "platform/fingerprint/fast_math.h"
#include "platform/foundation/ns_error.h"
#include "platform/matching/outline_evidence.h"
#include "tools/plim-catalog/audio_file_signature.h"

namespace {

using plim::fingerprint::kOutlineBands;
constexpr int B = kOutlineBands;

using plim::lab::Best;
using plim::lab::Correlate;
using plim::lab::HighPass;
using plim::lab::Levels;
using plim::lab::RemoveCommon;

Levels FromOutline(const plim::fingerprint::BandOutline& outline, std::size_t drop_last) {
  Levels l;
  l.bands = B;
  l.frames = outline.frames() > drop_last ? outline.frames() - drop_last : 0;
  l.v.assign(outline.levels.begin(), outline.levels.begin() + l.frames * B);
  return l;
}

Levels TimeDifference(const Levels& l, std::size_t lag) {
  Levels d;
  d.bands = l.bands;
  if (l.frames <= lag) return d;
  d.frames = l.frames - lag;
  d.v.resize(d.frames * B);
  for (std::size_t k = 0; k < d.frames; ++k) {
    for (int b = 0; b < B; ++b) d.row(k)[b] = l.row(k + lag)[b] - l.row(k)[b];
  }
  return d;
}

using Prepare = Levels (*)(Levels);

// A query's band powers with what looks like a steady noise floor taken
// out: each band's `percentile` level over the query is taken as the
// noise's power, `share` of it is subtracted in the power domain, and what
// is left is kept at least `floor_db` under it. Levels are in outline steps.
Levels SubtractFloor(Levels l, double percentile, double share, double floor_db) {
  using plim::fingerprint::kOutlineStepDb;
  for (int b = 0; b < B; ++b) {
    std::vector<float> band(l.frames);
    for (std::size_t k = 0; k < l.frames; ++k) band[k] = l.row(k)[b];
    if (band.empty()) continue;
    const std::size_t at = static_cast<std::size_t>(percentile * (band.size() - 1));
    std::nth_element(band.begin(), band.begin() + at, band.end());
    const double noise = std::pow(10.0, band[at] * kOutlineStepDb / 10);
    const double least = noise * std::pow(10.0, -floor_db / 10);
    for (std::size_t k = 0; k < l.frames; ++k) {
      const double power = std::pow(10.0, l.row(k)[b] * kOutlineStepDb / 10);
      l.row(k)[b] = static_cast<float>(10 * std::log10(std::max(least, power - share * noise)) /
                                       kOutlineStepDb);
    }
  }
  return l;
}

// Each query band's weight: the share of its mean power above its floor
// (its `percentile` level). A band the noise fills says little.
std::array<float, B> BandWeights(const Levels& l, double percentile) {
  using plim::fingerprint::kOutlineStepDb;
  std::array<float, B> w;
  w.fill(1);
  for (int b = 0; b < B; ++b) {
    std::vector<float> band(l.frames);
    double mean = 0;
    for (std::size_t k = 0; k < l.frames; ++k) {
      band[k] = l.row(k)[b];
      mean += std::pow(10.0, band[k] * kOutlineStepDb / 10);
    }
    if (band.empty()) continue;
    mean /= l.frames;
    const std::size_t at = static_cast<std::size_t>(percentile * (band.size() - 1));
    std::nth_element(band.begin(), band.begin() + at, band.end());
    const double noise = std::pow(10.0, band[at] * kOutlineStepDb / 10);
    w[b] = static_cast<float>(std::max(0.05, 1 - noise / mean));
  }
  return w;
}

struct Preparation {
  const char* name;
  Prepare prepare;
  // Applied to the query's raw levels first, when set.
  Prepare query_only = nullptr;
  // Whether the query's bands are weighed (BandWeights) after `prepare`.
  bool weigh = false;
  // Applied to the query last, when set.
  Prepare query_last = nullptr;
};

Levels Hp8(Levels l) {
  RemoveCommon(l);
  return HighPass(l, 8);
}

// A [1 2 1] / 4 smoothing over time (and across bands, when `bands`).
Levels Smooth(Levels l, bool bands) {
  Levels out = l;
  for (std::size_t k = 0; k < l.frames; ++k) {
    const std::size_t a = k > 0 ? k - 1 : k, z = k + 1 < l.frames ? k + 1 : k;
    for (int b = 0; b < B; ++b) {
      out.row(k)[b] = (l.row(a)[b] + 2 * l.row(k)[b] + l.row(z)[b]) / 4;
    }
  }
  if (!bands) return out;
  Levels t = out;
  for (std::size_t k = 0; k < l.frames; ++k) {
    for (int b = 0; b < B; ++b) {
      const int lo = b > 0 ? b - 1 : b, hi = b + 1 < B ? b + 1 : b;
      t.row(k)[b] = (out.row(k)[lo] + 2 * out.row(k)[b] + out.row(k)[hi]) / 4;
    }
  }
  return t;
}

// Band `b`'s mean and spread over the frames.
std::pair<double, double> BandMeanAndSpread(const Levels& l, int b) {
  double s = 0, q = 0;
  for (std::size_t k = 0; k < l.frames; ++k) {
    s += l.row(k)[b];
    q += double(l.row(k)[b]) * l.row(k)[b];
  }
  const double n = std::max<double>(1, l.frames);
  return {s / n, std::sqrt(std::max(1e-6, q / n - (s / n) * (s / n)))};
}

// Each band scaled to unit spread.
Levels Standardise(Levels l) {
  for (int b = 0; b < B; ++b) {
    const double sd = BandMeanAndSpread(l, b).second;
    for (std::size_t k = 0; k < l.frames; ++k) l.row(k)[b] = static_cast<float>(l.row(k)[b] / sd);
  }
  return l;
}

Levels Common(Levels l) {
  RemoveCommon(l);
  return l;
}

Levels FloorOut(Levels l) { return SubtractFloor(std::move(l), 0.1, 0.8, 10); }

// Each band's values kept within `spreads` of its spread: a voice's
// syllables or a drum hit that rise far above the rest weigh no more than a
// strong change of the music's own.
Levels Clip(Levels l, double spreads, bool below = true) {
  for (int b = 0; b < B; ++b) {
    const auto [mean, sd] = BandMeanAndSpread(l, b);
    const auto lo = static_cast<float>(below ? mean - spreads * sd : -1e30);
    const auto hi = static_cast<float>(mean + spreads * sd);
    for (std::size_t k = 0; k < l.frames; ++k) l.row(k)[b] = std::clamp(l.row(k)[b], lo, hi);
  }
  return l;
}

const Preparation kAllPreparations[] = {
    {"common", Common},
    {"plain", [](Levels l) { return l; }},
    {"dt1", [](Levels l) { return TimeDifference(Common(std::move(l)), 1); }},
    {"dt2", [](Levels l) { return TimeDifference(Common(std::move(l)), 2); }},
    {"hp8", Hp8},
    {"hp4", [](Levels l) { return HighPass(Common(std::move(l)), 4); }},
    {"zband", [](Levels l) { return Standardise(Hp8(std::move(l))); }},
    {"floor10", Hp8, FloorOut},
    {"floor20", Hp8, [](Levels l) { return SubtractFloor(std::move(l), 0.2, 0.9, 6); }},
    {"weigh", Hp8, nullptr, true},
    {"floorw", Hp8, FloorOut, true},
    {"smooth_t", Hp8, nullptr, false, [](Levels l) { return Smooth(std::move(l), false); }},
    {"smooth_tb", Hp8, nullptr, false, [](Levels l) { return Smooth(std::move(l), true); }},
    {"clipq10", Hp8, nullptr, false, [](Levels l) { return Clip(std::move(l), 1.0); }},
    {"clipq15", Hp8, nullptr, false, [](Levels l) { return Clip(std::move(l), 1.5); }},
    {"clip15", [](Levels l) { return Clip(Hp8(std::move(l)), 1.5); }},
    {"clipup15", Hp8, nullptr, false, [](Levels l) { return Clip(std::move(l), 1.5, false); }},
    {"clipup10", Hp8, nullptr, false, [](Levels l) { return Clip(std::move(l), 1.0, false); }},
};

// The preparations asked for: PREPARATIONS, or the one the matcher uses.
std::vector<Preparation> preparations;

// Standings of wrong recordings, in bins of 0.25 from 0: at every
// placement, and at each recording's best placement.
constexpr int kBins = 80;
std::mutex histogram_mutex;
std::vector<std::array<long, kBins>> every_placement, best_placement;

void CountStandings(std::size_t prep, const std::vector<float>& s, std::size_t n) {
  if (s.size() < 100) return;
  double sum = 0, sq = 0;
  for (float x : s) {
    sum += x;
    sq += double(x) * x;
  }
  const double m = sum / s.size(), sd = std::sqrt(std::max(1e-9, (sq - sum * m) / (s.size() - 1)));
  std::array<long, kBins> every{};
  double best = -99;
  for (float x : s) {
    const double z = (x - m) / sd;
    best = std::max(best, z);
    if (z > 0) ++every[std::min<int>(kBins - 1, static_cast<int>(z * 4))];
  }
  (void)n;
  std::lock_guard<std::mutex> lock(histogram_mutex);
  for (int i = 0; i < kBins; ++i) every_placement[prep][i] += every[i];
  if (best > 0) ++best_placement[prep][std::min<int>(kBins - 1, static_cast<int>(best * 4))];
}

struct Reference {
  std::string title;
  std::vector<Levels> prepared;  // per preparation
};

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::cerr << "usage: outline_sweep CATALOG_DIR [JOBS [NAME,...]] < queries.tsv\n";
    return 2;
  }
  const unsigned jobs = argc > 2 ? std::stoul(argv[2]) : 2;
  std::string wanted = ",";
  wanted.append(argc > 3 ? argv[3] : "hp8").append(",");
  for (const Preparation& p : kAllPreparations) {
    if (wanted.find(std::string(",").append(p.name).append(",")) != std::string::npos)
      preparations.push_back(p);
  }
  if (preparations.empty()) {
    std::cerr << "outline_sweep: no preparation named in " << argv[3] << "\n";
    return 2;
  }
  std::unique_ptr<plim::catalog::Catalog> catalog =
      plim::catalog::Catalog::Open(argv[1], plim::catalog::Catalog::Mode::kReadOnly);
  std::vector<Reference> references;
  {
    plim::catalog::Catalog::Reader reader = catalog->NewReader();
    reader.ForEachRecording([&](plim::catalog::RecordingId id, const plim::catalog::Recording& r) {
      plim::fingerprint::BandOutline outline;
      reader.ReadOutline(id, 0, r.duration_s / plim::fingerprint::kFrameDurationS + 1, outline);
      Reference ref{r.title, {}};
      for (const Preparation& p : preparations)
        ref.prepared.push_back(p.prepare(FromOutline(outline, 0)));
      references.push_back(std::move(ref));
      return true;
    });
  }
  std::vector<std::pair<std::string, std::string>> queries;
  for (std::string line; std::getline(std::cin, line);) {
    const std::size_t tab = line.find('\t');
    if (tab != std::string::npos) queries.emplace_back(line.substr(0, tab), line.substr(tab + 1));
  }
  every_placement.resize(preparations.size());
  best_placement.resize(preparations.size());
  std::vector<std::string> out(queries.size());
  std::atomic<std::size_t> next{0};
  std::vector<std::thread> workers;
  for (unsigned j = 0; j < jobs; ++j) {
    workers.emplace_back([&] {
      for (std::size_t i; (i = next.fetch_add(1)) < queries.size();) {
        const auto& [path, label] = queries[i];
        std::string line = label;
        try {
          const std::string expected = label.substr(label.rfind('|') + 1);
          plim::AudioFileSignature audio = plim::SignAudioFile(path);
          const Levels raw = FromOutline(audio.signature.constellation().outline,
                                         plim::matching::kPaddedOutlineFrames);
          for (std::size_t p = 0; p < preparations.size(); ++p) {
            const Preparation& prep = preparations[p];
            Levels q = prep.prepare(prep.query_only ? prep.query_only(raw) : raw);
            if (prep.query_last) q = prep.query_last(std::move(q));
            if (prep.weigh) {
              const std::array<float, B> w = BandWeights(raw, 0.1);
              for (std::size_t k = 0; k < q.frames; ++k) {
                for (int b = 0; b < B; ++b) q.row(k)[b] *= w[b];
              }
            }
            plim::lab::Standings standings;
            for (const Reference& ref : references) {
              double b, z;
              const std::vector<float> scores = Correlate(q, ref.prepared[p]);
              Best(scores, q.frames, b, z);
              if (ref.title != expected) CountStandings(p, scores, q.frames);
              standings.Add(!expected.empty() && ref.title == expected, b, z);
            }
            line += standings.Cells(preparations[p].name);
          }
        } catch (const std::exception& e) {
          line += "\terror";
        }
        out[i] = line + "\n";
      }
    });
  }
  for (std::thread& w : workers) w.join();
  for (const std::string& l : out) std::cout << l;
  for (std::size_t p = 0; p < preparations.size(); ++p) {
    for (int which = 0; which < 2; ++which) {
      std::cerr << preparations[p].name << (which ? " best" : " every");
      for (long c : (which ? best_placement : every_placement)[p]) std::cerr << ' ' << c;
      std::cerr << '\n';
    }
  }
}
