// Runs many queries against a catalog in one process and prints what the
// matcher saw for each: the tool behind tuning the fingerprint and the
// decision rule, where starting a process per query would cost more than
// the matching itself.
//
//   recognition_sweep CATALOG_DIR [JOBS [SHOWN [NOMINATED [REALIGNED]]]]
//       < queries.tsv > candidates.tsv
//
// Each input line is "path<TAB>label"; the label (say, the condition and the
// expected title) is copied to the output. Each output line is
//   label, path, query landmarks, then for the best SHOWN candidates
//   (default 3): title, hits, aligned landmarks, matched and compared
//   reference peaks, speed, frequency scale, outline correlation and
//   standing, false-match probability, accepted (0/1)
// tab-separated, in input order. A query that fails prints its error in
// place of the candidates. NOMINATED sets how many recordings the first
// pass examines, and the second places again and checks by their outlines
// (MatchEffort; the second pass doubles them); REALIGNED, when given,
// sets the last two apart.

#include <time.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

#include "platform/catalog/lmdb/catalog.h"
#include "platform/foundation/ns_error.h"
#include "platform/matching/matcher.h"
#include "tools/plim-catalog/audio_file_signature.h"

namespace {

std::size_t shown_candidates = 3;
plim::matching::MatchEffort effort;

struct Query {
  std::string path;
  std::string label;
};

// CPU time of the calling thread: unlike the wall clock, it does not grow
// when other work shares the machine.
double ThreadCpuMs() {
  timespec now;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return now.tv_sec * 1e3 + now.tv_nsec / 1e6;
}

// Also sets `match_ms` and `match_cpu_ms` to the wall and CPU time from
// signature to outcome.
std::string Describe(const plim::catalog::Catalog::Reader& reader, const Query& query,
                     double& match_ms, double& match_cpu_ms) {
  std::string line = query.label;
  line.append("\t").append(query.path);
  try {
    plim::AudioFileSignature audio = plim::SignAudioFile(query.path);
    const double start_cpu_ms = ThreadCpuMs();
    const auto start = std::chrono::steady_clock::now();
    plim::matching::MatchReport report =
        plim::matching::MatchQuery(reader, audio.signature.constellation(), effort);
    match_ms =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    match_cpu_ms = ThreadCpuMs() - start_cpu_ms;
    line.append("\t").append(std::to_string(report.query_landmarks));
    for (std::size_t i = 0; i < report.candidates.size() && i < shown_candidates; ++i) {
      const plim::matching::MatchCandidate& c = report.candidates[i];
      std::optional<plim::catalog::Recording> recording = reader.GetRecording(c.recording);
      char numbers[240];
      std::snprintf(numbers, sizeof numbers, "\t%d\t%d\t%d\t%d\t%.4f\t%.4f\t%.3f\t%.2f\t%.3g\t%d",
                    c.hits, c.aligned_landmarks, c.matched_peaks, c.reference_peaks, c.speed,
                    c.frequency_scale, c.outline_correlation, c.outline_standing,
                    c.false_match_probability, c.accepted ? 1 : 0);
      line.append("\t").append(recording ? recording->title : "?").append(numbers);
    }
  } catch (const plim::foundation::NSError& error) {
    line.append("\terror\t").append(error.description());
  }
  return line + "\n";
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::cerr << "usage: recognition_sweep CATALOG_DIR [JOBS] < queries.tsv\n";
    return 2;
  }
  const unsigned jobs = argc > 2 ? static_cast<unsigned>(std::stoul(argv[2]))
                                 : std::max(1u, std::thread::hardware_concurrency());
  if (argc > 3) shown_candidates = std::stoul(argv[3]);
  if (argc > 4) {
    effort.nominated_candidates = effort.realigned_candidates = effort.outline_candidates =
        std::stoul(argv[4]);
  }
  if (argc > 5) effort.realigned_candidates = effort.outline_candidates = std::stoul(argv[5]);
  std::vector<Query> queries;
  for (std::string line; std::getline(std::cin, line);) {
    std::size_t tab = line.find('\t');
    if (tab == std::string::npos) continue;
    queries.push_back({line.substr(0, tab), line.substr(tab + 1)});
  }
  std::unique_ptr<plim::catalog::Catalog> catalog;
  try {
    catalog = plim::catalog::Catalog::Open(argv[1], plim::catalog::Catalog::Mode::kReadOnly);
  } catch (const plim::foundation::NSError& error) {
    std::cerr << error.description() << "\n";
    return 1;
  }
  std::vector<std::string> lines(queries.size());
  std::vector<double> match_ms(queries.size()), match_cpu_ms(queries.size());
  std::atomic<std::size_t> next{0};
  std::vector<std::thread> workers;
  for (unsigned j = 0; j < jobs; ++j) {
    workers.emplace_back([&] {
      plim::catalog::Catalog::Reader reader = catalog->NewReader();
      for (std::size_t i; (i = next.fetch_add(1)) < queries.size();) {
        lines[i] = Describe(reader, queries[i], match_ms[i], match_cpu_ms[i]);
      }
    });
  }
  for (std::thread& worker : workers) worker.join();
  for (const std::string& line : lines) std::cout << line;
  if (!match_ms.empty()) {
    std::sort(match_ms.begin(), match_ms.end());
    std::sort(match_cpu_ms.begin(), match_cpu_ms.end());
    std::cerr << "match (signature to outcome): median " << match_ms[match_ms.size() / 2]
              << " ms, 95th percentile " << match_ms[match_ms.size() * 95 / 100]
              << " ms; CPU median " << match_cpu_ms[match_cpu_ms.size() / 2]
              << " ms, 95th percentile " << match_cpu_ms[match_cpu_ms.size() * 95 / 100] << " ms\n";
  }
  return 0;
}
