// Catalogs of many hours in either store, built in minutes: the corpus's
// own recordings, then fillers made in-process from their peaks and outlines,
// warped in time and frequency beyond the matcher's reach and hashed again,
// added through the library as `plim-catalog add` would add decoded files.
//
//   store_scale build LOCATION HOURS WRITERS FILE...
//     adds FILE... (titled by file name, or folder name for a song.ogg)
//     and fillers up to HOURS of audio with WRITERS threads; prints one
//     line: hours, seconds, hours added per second, and bytes per hour
//     (LMDB: database pages in use; Redis: the growth of used_memory over
//     the masters)
//   store_scale query LOCATION CLIENTS < clips.tsv
//     signs each clip ("path<TAB>expected title" per line), then matches
//     them all from CLIENTS threads at once; prints queries per second,
//     median and 95th-percentile match time, how many were named right,
//     wrongly and not at all, and the query landmarks on average

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/catalog/catalog_store.h"
#include "platform/catalog/redis/redis_catalog.h"
#include "platform/fingerprint/landmark_hasher.h"
#include "platform/fingerprint/peak_thinning.h"
#include "platform/foundation/ns_error.h"
#include "platform/matching/matcher.h"
#include "tools/plim-catalog/audio_file_signature.h"

namespace {

using namespace plim;
using Clock = std::chrono::steady_clock;

double SecondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

std::uint64_t StoreBytes(const catalog::CatalogStore& store) {
  return store.MeasureDiskUsage().database_used_bytes;
}

// The `k`th warp: time and frequency scales each at least 12% away from 1,
// so that no filler matches the recording it was made from. The fingerprint's
// hashes do not change when time or frequency is scaled alone, so Warp also
// reverses time and bends the frequency axis: otherwise every filler would
// share its source's hashes, and every query of the corpus would look up
// the postings of hundreds of copies of itself, which real music never does.
void WarpOf(std::uint64_t k, double& time_scale, double& frequency_scale) {
  constexpr double kScales[] = {0.62, 0.66, 0.70, 0.74, 0.78, 0.82, 0.86, 0.88,
                                1.12, 1.16, 1.20, 1.25, 1.30, 1.35, 1.40, 1.45};
  constexpr std::uint64_t n = std::size(kScales);
  time_scale = kScales[k % n];
  frequency_scale = kScales[(k / n) % n];
  // Past the 256 pairs, a finer offset keeps every filler distinct.
  time_scale += 0.0013 * static_cast<double>(k / (n * n));
}

// A bend of the frequency axis for the `k`th filler, spread evenly over
// 0.8-1.2 by the golden ratio, so that no two fillers of one source share
// their log-frequency differences.
double BendOf(std::uint64_t k) {
  const double golden = 0.6180339887498949;
  const double fraction =
      static_cast<double>(k) * golden - std::floor(static_cast<double>(k) * golden);
  return 0.8 + 0.4 * fraction;
}

fingerprint::Constellation Warp(const fingerprint::Constellation& in, double time_scale,
                                double frequency_scale, double bend) {
  fingerprint::Constellation out;
  out.duration_s = in.duration_s * time_scale;
  const double max_bin = (fingerprint::kBinCount - 1) * fingerprint::kBinSubdivisions;
  constexpr double kLowBinQ =
      fingerprint::kMinPeakFrequencyHz / fingerprint::kBinWidthHz * fingerprint::kBinSubdivisions;
  std::uint32_t last_q = 0;
  for (const fingerprint::Peak& p : in.peaks) last_q = std::max(last_q, p.time_q);
  for (const fingerprint::Peak& p : in.peaks) {
    // Bent: log-frequency differences grow or shrink by the bend.
    const double bin = std::round(kLowBinQ * std::pow(p.bin_q / kLowBinQ, bend) * frequency_scale);
    if (bin >= max_bin || bin < 1) continue;
    const double reversed_q = static_cast<double>(last_q - p.time_q);
    out.peaks.push_back({static_cast<std::uint32_t>(std::llround(reversed_q * time_scale)),
                         static_cast<std::uint16_t>(bin), p.prominence_db});
  }
  std::sort(out.peaks.begin(), out.peaks.end(), [](const auto& a, const auto& b) {
    return a.time_q != b.time_q ? a.time_q < b.time_q : a.bin_q < b.bin_q;
  });
  out.peaks.erase(std::unique(out.peaks.begin(), out.peaks.end(),
                              [](const auto& a, const auto& b) {
                                return a.time_q == b.time_q && a.bin_q == b.bin_q;
                              }),
                  out.peaks.end());
  // The outline warped alike, so that a filler can be checked by its levels
  // as a real recording is: frames reversed and scaled, bands (log-spaced)
  // bent and shifted as the peaks' frequencies are, clamped at the edges.
  constexpr int kBands = fingerprint::kOutlineBands;
  const std::size_t frames = in.outline.frames();
  if (frames == 0) return out;
  const auto out_frames = static_cast<std::size_t>(std::llround(frames * time_scale));
  const double shift_bands =
      std::log(frequency_scale) /
      std::log(fingerprint::kMaxPeakFrequencyHz / fingerprint::kMinPeakFrequencyHz) * kBands;
  std::array<int, kBands> source_band;
  for (int b = 0; b < kBands; ++b) {
    source_band[b] =
        std::clamp(static_cast<int>(std::floor((b + 0.5 - shift_bands) / bend)), 0, kBands - 1);
  }
  out.outline.levels.resize(out_frames * kBands);
  for (std::size_t f = 0; f < out_frames; ++f) {
    const std::size_t from =
        frames - 1 - std::min(frames - 1, static_cast<std::size_t>(f / time_scale));
    for (int b = 0; b < kBands; ++b) {
      out.outline.levels[f * kBands + b] = in.outline.levels[from * kBands + source_band[b]];
    }
  }
  return out;
}

catalog::NewRecording ItemOf(const fingerprint::Constellation& constellation, std::string title,
                             std::string content_hash) {
  catalog::NewRecording item;
  item.recording.title = std::move(title);
  item.recording.artist = "store_scale";
  item.recording.content_hash = std::move(content_hash);
  item.recording.duration_s = constellation.duration_s;
  item.landmarks = fingerprint::ReferenceLandmarks(constellation);
  item.peaks = fingerprint::ReferencePeaks(constellation);
  item.outline = constellation.outline;
  return item;
}

constexpr std::size_t kFillersPerAdd = 128;

int Build(const std::string& location, double hours, unsigned writers,
          const std::vector<std::string>& files) {
  auto store = catalog::OpenCatalogStore(location, catalog::CatalogStore::Mode::kReadWrite);
  const std::uint64_t bytes_before = StoreBytes(*store);
  std::vector<fingerprint::Constellation> corpus;
  std::vector<catalog::NewRecording> originals;
  for (const std::string& file : files) {
    AudioFileSignature audio = SignAudioFile(file);
    corpus.push_back(audio.signature.constellation());
    // The file's name, or its folder's for a song.ogg (as bench/store_scale.sh names clips).
    std::filesystem::path path(file);
    std::string title = path.stem().string();
    if (title == "song") title = path.parent_path().filename().string();
    originals.push_back(ItemOf(corpus.back(), title, "original-" + audio.content_hash));
  }
  // A build that was stopped goes on from where it stopped: its originals
  // are there, and its fillers continue after the last one added.
  std::uint64_t first_filler = 0;
  {
    auto reader = store->NewCatalogReader();
    if (!reader->FindByContentHash(originals.front().recording.content_hash)) {
      store->Add(originals);
    } else {
      reader->ForEachRecording([&](catalog::RecordingId, const catalog::Recording& r) {
        if (r.title.rfind("Filler ", 0) == 0) {
          first_filler = std::max<std::uint64_t>(first_filler, std::stoull(r.title.substr(7)) + 1);
        }
        return true;
      });
    }
  }
  const double have_s = store->NewCatalogReader()->TotalDurationS();
  const auto start = Clock::now();
  std::atomic<std::uint64_t> next{first_filler};
  std::atomic<double> added_s{0};
  std::vector<std::thread> threads;
  for (unsigned w = 0; w < writers; ++w) {
    threads.emplace_back([&] {
      std::vector<catalog::NewRecording> batch;
      while (have_s + added_s.load() < hours * 3600) {
        const std::uint64_t k = next.fetch_add(1);
        double time_scale, frequency_scale;
        WarpOf(k / corpus.size(), time_scale, frequency_scale);
        const fingerprint::Constellation& source = corpus[k % corpus.size()];
        batch.push_back(ItemOf(Warp(source, time_scale, frequency_scale, BendOf(k)),
                               "Filler " + std::to_string(k), "filler-" + std::to_string(k)));
        double s = added_s.load();
        while (!added_s.compare_exchange_weak(s, s + batch.back().recording.duration_s)) {
        }
        // Large batches: each add rewrites a share of the index that grows
        // with the square root of what it adds, not with it.
        if (batch.size() == kFillersPerAdd) {
          store->Add(batch);
          batch.clear();
        }
      }
      if (!batch.empty()) store->Add(batch);
    });
  }
  for (std::thread& t : threads) t.join();
  const double seconds = SecondsSince(start);
  auto reader = store->NewCatalogReader();
  const double total_h = reader->TotalDurationS() / 3600;
  const double bytes_per_hour = static_cast<double>(StoreBytes(*store) - bytes_before) / total_h;
  std::printf(
      "build %s: %.1f h in %llu recordings (%llu postings), fillers %.1f h in %.0f s with %u "
      "writers: %.1f h of audio added per second; %.0f bytes per hour\n",
      location.c_str(), total_h, static_cast<unsigned long long>(reader->RecordingCount()),
      static_cast<unsigned long long>(reader->LandmarkCount()), added_s.load() / 3600, seconds,
      writers, added_s.load() / 3600 / seconds, bytes_per_hour);
  return 0;
}

int Query(const std::string& location, unsigned clients) {
  struct Clip {
    std::string expected;
    fingerprint::Constellation constellation;
  };
  std::vector<Clip> clips;
  for (std::string line; std::getline(std::cin, line);) {
    const std::size_t tab = line.find('\t');
    if (tab == std::string::npos) continue;
    AudioFileSignature audio = SignAudioFile(line.substr(0, tab));
    clips.push_back({line.substr(tab + 1), audio.signature.constellation()});
  }
  auto store = catalog::OpenCatalogStore(location, catalog::CatalogStore::Mode::kReadOnly);
  std::vector<double> match_ms(clips.size());
  std::atomic<std::size_t> next{0};
  std::atomic<int> right{0}, wrong{0}, none{0};
  std::atomic<std::size_t> query_landmarks{0};
  const auto start = Clock::now();
  std::vector<std::thread> threads;
  for (unsigned c = 0; c < clients; ++c) {
    threads.emplace_back([&] {
      for (std::size_t i; (i = next.fetch_add(1)) < clips.size();) {
        const auto begin = Clock::now();
        auto reader = store->NewCatalogReader();
        matching::MatchReport report = matching::MatchQuery(*reader, clips[i].constellation);
        std::optional<catalog::Recording> best;
        if (!report.candidates.empty() && report.candidates[0].accepted)
          best = reader->GetRecording(report.candidates[0].recording);
        match_ms[i] = SecondsSince(begin) * 1e3;
        query_landmarks += report.query_landmarks;
        if (!best) {
          ++none;
        } else if (best->title == clips[i].expected) {
          ++right;
        } else {
          ++wrong;
        }
      }
    });
  }
  for (std::thread& t : threads) t.join();
  const double seconds = SecondsSince(start);
  std::sort(match_ms.begin(), match_ms.end());
  std::printf(
      "query %s: %zu clips, %u clients: %.1f queries/s; match median %.1f ms, 95th percentile "
      "%.1f ms; named right %d, wrong %d, none %d; %.0f landmarks a query\n",
      location.c_str(), clips.size(), clients, static_cast<double>(clips.size()) / seconds,
      match_ms[match_ms.size() / 2], match_ms[match_ms.size() * 95 / 100], right.load(),
      wrong.load(), none.load(),
      static_cast<double>(query_landmarks.load()) / static_cast<double>(clips.size()));
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  try {
    if (args.size() >= 5 && args[0] == "build") {
      return Build(args[1], std::stod(args[2]), static_cast<unsigned>(std::stoul(args[3])),
                   {args.begin() + 4, args.end()});
    }
    if (args.size() == 3 && args[0] == "query") {
      return Query(args[1], static_cast<unsigned>(std::stoul(args[2])));
    }
  } catch (const foundation::NSError& error) {
    std::cerr << "store_scale: " << error.description() << "\n";
    return 1;
  }
  std::cerr << "usage: store_scale build LOCATION HOURS WRITERS FILE... | query LOCATION CLIENTS "
               "< clips.tsv\n";
  return 2;
}
