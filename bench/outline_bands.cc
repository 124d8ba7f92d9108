// Band-energy outlines of other shapes than the catalog keeps, made from
// the audio itself on both sides, each correlated with every recording at
// every placement as outline_sweep does: which bands and frames would
// carry the most, before a fingerprint version is spent on them. A lab
// tool.
//
//   outline_bands MEMBERS_CSV SHAPE[,SHAPE...] [JOBS] < queries.tsv > bands.tsv
//
// MEMBERS_CSV: the benchmark's "path,artist,title" list (its titles are the
// queries' expected ones). A SHAPE is BANDSxLOW-HIGH/SPAN[qSTEP]: BANDS
// log-spaced bands from LOW to HIGH Hz, each outline frame SPAN analysis
// frames of 32 ms, levels in steps of STEP dB (0.5 unless given;
// 16x250-3800/2 is the catalog's). A shape ending rRANGE keeps STEP for the
// references only, counted down from each frame's loudest band and at most
// RANGE dB below it, as a catalog would store them; its queries keep
// half-decibel steps. Levels are prepared as the matcher
// prepares them: each frame's common level out, then each band's mean over
// about half a second either side. Output as outline_sweep's, one group of
// columns per shape. Audio is decoded by the ffmpeg program to the
// analysis rate.

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <numbers>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bench/outline_lab.h"
#include "platform/fingerprint/fingerprint_params.h"
#include "platform/fingerprint/real_fft.h"

namespace {

using plim::fingerprint::kAnalysisSampleRateHz;
using plim::fingerprint::kBinCount;
using plim::fingerprint::kBinWidthHz;
using plim::fingerprint::kFftSize;
using plim::fingerprint::kHopSize;
using plim::lab::Best;
using plim::lab::Correlate;
using plim::lab::HighPass;
using plim::lab::Levels;
using plim::lab::RemoveCommon;

struct Shape {
  std::string name;
  int bands = 16;
  double low_hz = 250, high_hz = 3800;
  int span = 2;
  double step_db = 0.5;        // levels' quantisation
  double range_db = 0;         // > 0: references' steps below each frame's loudest band
  std::vector<int> first_bin;  // bands + 1 edges
};

Shape ParseShape(const std::string& text) {
  Shape s;
  s.name = text;
  char x, dash, slash;
  std::istringstream in(text);
  in >> s.bands >> x >> s.low_hz >> dash >> s.high_hz >> slash >> s.span;
  if (!in || x != 'x' || dash != '-' || slash != '/' || s.bands < 2 || s.span < 1) {
    throw std::runtime_error("not a shape: " + text);
  }
  if (char q; in >> q) {
    if (q != 'q' || !(in >> s.step_db) || s.step_db <= 0) {
      throw std::runtime_error("not a shape: " + text);
    }
  }
  if (char r; in >> r) {
    if (r != 'r' || !(in >> s.range_db) || s.range_db <= 0) {
      throw std::runtime_error("not a shape: " + text);
    }
  }
  int previous = 0;
  for (int b = 0; b <= s.bands; ++b) {
    const double edge = s.low_hz * std::pow(s.high_hz / s.low_hz, double(b) / s.bands);
    int bin = static_cast<int>(std::lround(edge / kBinWidthHz));
    if (b > 0) bin = std::max(bin, previous + 1);
    s.first_bin.push_back(std::min(bin, kBinCount));
    previous = bin;
  }
  return s;
}

std::vector<float> Decode(const std::string& path) {
  const std::string command = "ffmpeg -nostdin -loglevel error -i '" + path + "' -ac 1 -ar " +
                              std::to_string(kAnalysisSampleRateHz) + " -f f32le -";
  std::vector<float> samples;
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return samples;
  float buffer[4096];
  for (std::size_t n; (n = std::fread(buffer, sizeof(float), 4096, pipe)) > 0;) {
    samples.insert(samples.end(), buffer, buffer + n);
  }
  pclose(pipe);
  return samples;
}

// Power spectra of `samples`, as the fingerprinter makes them, leaving out
// the frames that reach past the end.
std::vector<std::vector<float>> Spectra(const std::vector<float>& samples) {
  std::vector<std::vector<float>> spectra;
  plim::fingerprint::RealFft fft;
  std::vector<float> window(kFftSize);
  for (int i = 0; i < kFftSize; ++i) {
    window[i] = static_cast<float>(0.5 - 0.5 * std::cos(2 * std::numbers::pi * i / kFftSize));
  }
  for (std::size_t start = 0; start + kFftSize <= samples.size(); start += kHopSize) {
    for (int i = 0; i < kFftSize; ++i) fft.input()[i] = samples[start + i] * window[i];
    spectra.emplace_back(kBinCount);
    fft.PowerSpectrum(spectra.back().data());
  }
  return spectra;
}

Levels Outline(const std::vector<std::vector<float>>& spectra, const Shape& s,
               bool reference) {
  const bool relative = s.range_db > 0;
  const double step = relative && !reference ? 0.5 : s.step_db;
  Levels l;
  l.bands = s.bands;
  l.frames = spectra.size() / s.span;
  l.v.resize(l.frames * s.bands);
  for (std::size_t k = 0; k < l.frames; ++k) {
    for (int b = 0; b < s.bands; ++b) {
      double sum = 0;
      for (int f = 0; f < s.span; ++f) {
        const std::vector<float>& p = spectra[k * s.span + f];
        for (int i = s.first_bin[b]; i < s.first_bin[b + 1]; ++i) sum += p[i];
      }
      const double db = sum > 0 ? 10 * std::log10(sum / s.span) : -100.0;
      l.row(k)[b] = static_cast<float>(std::nearbyint(std::max(db, -72.0) / step) * step);
    }
    if (relative && reference) {
      float* row = l.row(k);
      const float top = *std::max_element(row, row + s.bands);
      for (int b = 0; b < s.bands; ++b) {
        const double below = std::min(s.range_db, std::nearbyint((top - row[b]) / step) * step);
        row[b] = static_cast<float>(top - below);
      }
    }
  }
  return l;
}

// The matcher's preparation: each frame's common level out, then each
// band's mean over `half` frames either side.
Levels Prepare(Levels l, std::size_t half) {
  RemoveCommon(l);
  return HighPass(l, half);
}

// Unquotes one field of the members list.
std::vector<std::string> CsvFields(const std::string& line) {
  std::vector<std::string> fields(1);
  bool quoted = false;
  for (std::size_t i = 0; i < line.size(); ++i) {
    const char c = line[i];
    if (quoted && c == '"' && i + 1 < line.size() && line[i + 1] == '"') {
      fields.back() += '"';
      ++i;
    } else if (c == '"') {
      quoted = !quoted;
    } else if (c == ',' && !quoted) {
      fields.emplace_back();
    } else {
      fields.back() += c;
    }
  }
  return fields;
}

template <typename Work>
void InParallel(std::size_t count, unsigned jobs, Work work) {
  std::atomic<std::size_t> next{0};
  std::vector<std::thread> workers;
  for (unsigned j = 0; j < jobs; ++j) {
    workers.emplace_back([&] {
      for (std::size_t i; (i = next.fetch_add(1)) < count;) work(i);
    });
  }
  for (std::thread& w : workers) w.join();
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::cerr << "usage: outline_bands MEMBERS_CSV SHAPE[,SHAPE...] [JOBS] < queries.tsv\n";
    return 2;
  }
  std::vector<Shape> shapes;
  {
    std::istringstream list(argv[2]);
    for (std::string s; std::getline(list, s, ',');) shapes.push_back(ParseShape(s));
  }
  const unsigned jobs = argc > 3 ? std::stoul(argv[3]) : 2;
  // About half a second either side, whatever the frame.
  auto half = [](const Shape& s) { return static_cast<std::size_t>(std::lround(16.0 / s.span)); };

  std::vector<std::pair<std::string, std::string>> members;  // path, title
  {
    std::ifstream csv(argv[1]);
    std::string line;
    std::getline(csv, line);
    while (std::getline(csv, line)) {
      const std::vector<std::string> f = CsvFields(line);
      if (f.size() >= 3) members.emplace_back(f[0], f[2]);
    }
  }
  std::vector<std::vector<Levels>> references(members.size());
  InParallel(members.size(), jobs, [&](std::size_t i) {
    const auto spectra = Spectra(Decode(members[i].first));
    for (const Shape& s : shapes) references[i].push_back(Prepare(Outline(spectra, s, true), half(s)));
  });

  std::vector<std::pair<std::string, std::string>> queries;
  for (std::string line; std::getline(std::cin, line);) {
    const std::size_t tab = line.find('\t');
    if (tab != std::string::npos) queries.emplace_back(line.substr(0, tab), line.substr(tab + 1));
  }
  std::vector<std::string> out(queries.size());
  InParallel(queries.size(), jobs, [&](std::size_t i) {
    const auto& [path, label] = queries[i];
    const std::string expected = label.substr(label.rfind('|') + 1);
    const auto spectra = Spectra(Decode(path));
    std::string line = label;
    for (std::size_t s = 0; s < shapes.size(); ++s) {
      Levels q = Outline(spectra, shapes[s], false);
      // The catalog's outline leaves out the last frames, padded with silence;
      // these spectra have none, and the same length is kept.
      q = Prepare(std::move(q), half(shapes[s]));
      plim::lab::Standings standings;
      for (std::size_t m = 0; m < members.size(); ++m) {
        double b, z;
        Best(Correlate(q, references[m][s]), q.frames, b, z);
        standings.Add(!expected.empty() && members[m].second == expected, b, z);
      }
      line += standings.Cells(shapes[s].name);
    }
    out[i] = line + "\n";
  });
  for (const std::string& l : out) std::cout << l;
}
