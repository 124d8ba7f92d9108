#include "tools/plim-catalog/add_command.h"

#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <mutex>
#include <thread>

#include "platform/catalog/catalog.h"
#include "platform/foundation/ns_error.h"
#include "platform/foundation/standard_stream.h"
#include "tools/plim-catalog/file_discovery.h"
#include "tools/plim-catalog/file_ingest.h"
#include "tools/plim-catalog/metadata_csv.h"
#include "tools/plim-catalog/progress_display.h"

namespace plim {
namespace {

// Results handed from the decoding threads to the writer. Bounded, so that
// fast decoders can't pile up landmarks faster than they are written.
class ResultQueue {
 public:
  ResultQueue(std::size_t capacity, unsigned producers)
      : capacity_(capacity), producers_left_(producers) {}

  // Blocks while full. False when the queue was stopped: the result is dropped.
  bool Push(IngestResult result) {
    std::unique_lock lock(mutex_);
    not_full_.wait(lock, [&] { return items_.size() < capacity_ || stopped_; });
    if (stopped_) return false;
    items_.push_back(std::move(result));
    lock.unlock();
    not_empty_.notify_one();
    return true;
  }

  void ProducerDone() {
    std::lock_guard lock(mutex_);
    --producers_left_;
    not_empty_.notify_one();
  }

  // Moves everything queued into `out`, waiting for at least one result.
  // False when the producers are all done and nothing is left.
  bool TakeAll(std::vector<IngestResult>& out) {
    std::unique_lock lock(mutex_);
    not_empty_.wait(lock, [&] { return !items_.empty() || producers_left_ == 0; });
    if (items_.empty()) return false;
    for (IngestResult& result : items_) out.push_back(std::move(result));
    items_.clear();
    lock.unlock();
    not_full_.notify_all();
    return true;
  }

  void Stop() {
    std::lock_guard lock(mutex_);
    stopped_ = true;
    not_full_.notify_all();
  }

  bool stopped() {
    std::lock_guard lock(mutex_);
    return stopped_;
  }

 private:
  const std::size_t capacity_;
  std::mutex mutex_;
  std::condition_variable not_full_;   // notified when items_ shrinks or on Stop
  std::condition_variable not_empty_;  // notified on Push and ProducerDone
  std::deque<IngestResult> items_;     // guarded by mutex_
  unsigned producers_left_;            // guarded by mutex_
  bool stopped_ = false;               // guarded by mutex_
};

MetadataOverrides OverridesFor(const std::string& path, const AddCommandOptions& options,
                               const MetadataTable* table) {
  MetadataOverrides overrides;
  if (table != nullptr) {
    if (auto it = table->rows.find(path); it != table->rows.end()) {
      const MetadataRow& row = it->second;
      overrides = {row.artist, row.title, row.artwork, row.album, row.isrc, row.genres};
    }
  }
  // The command line's options apply to every file and win over the table.
  if (options.artist) overrides.artist = options.artist;
  if (options.title) overrides.title = options.title;
  if (options.album) overrides.album = options.album;
  if (options.artwork) {
    overrides.artwork = options.artwork->find("://") == std::string::npos
                            ? NormalSourcePath(*options.artwork)
                            : *options.artwork;
  }
  return overrides;
}

struct Tally {
  std::uint64_t added = 0;
  std::uint64_t updated = 0;
  std::uint64_t skipped = 0;
  std::uint64_t failed = 0;
  double indexed_s = 0;
};

std::string Summary(const Tally& tally, const ProgressDisplay& progress) {
  char text[256];
  double elapsed_s = progress.ElapsedS();
  std::snprintf(
      text, sizeof text,
      "added %llu, updated %llu, skipped %llu (already in the catalog), failed %llu: "
      "%.2f hours indexed, %.1f\xC3\x97 real time\n",
      static_cast<unsigned long long>(tally.added), static_cast<unsigned long long>(tally.updated),
      static_cast<unsigned long long>(tally.skipped), static_cast<unsigned long long>(tally.failed),
      tally.indexed_s / 3600, elapsed_s > 0 ? progress.AudioS() / elapsed_s : 0.0);
  return text;
}

}  // namespace

int RunAddCommand(const AddCommandOptions& options) {
  std::optional<MetadataTable> table;
  std::vector<std::string> paths = options.paths;
  try {
    if (options.metadata_csv) table = ReadMetadataCsv(*options.metadata_csv);
  } catch (const foundation::NSError& error) {
    foundation::writeToStandardError("plim-catalog: " + error.description() + "\n");
    return 1;
  }
  if (paths.empty() && table) paths = table->paths;

  Discovery discovery = DiscoverFiles(paths);
  std::unique_ptr<catalog::Catalog> catalog;
  try {
    catalog = catalog::Catalog::Open(options.catalog_directory, catalog::Catalog::Mode::kReadWrite);
  } catch (const foundation::NSError& error) {
    foundation::writeToStandardError("plim-catalog: " + error.description() + "\n");
    return 1;
  }

  const std::vector<Candidate>& candidates = discovery.candidates;
  std::uint64_t total_bytes = 0;
  for (const Candidate& c : candidates) total_bytes += c.size_bytes;
  ProgressDisplay progress(isatty(STDERR_FILENO) == 1, candidates.size(), total_bytes);
  Tally tally;
  for (const std::string& problem : discovery.problems) {
    progress.Report("plim-catalog: " + problem);
    ++tally.failed;
  }

  unsigned jobs =
      options.jobs > 0 ? options.jobs : std::max(1u, std::thread::hardware_concurrency());
  jobs = static_cast<unsigned>(
      std::min<std::size_t>(jobs, std::max<std::size_t>(candidates.size(), 1)));
  ResultQueue queue(2 * std::size_t{jobs}, jobs);
  std::atomic<std::size_t> next_candidate{0};
  std::vector<std::thread> workers;
  for (unsigned j = 0; j < jobs; ++j) {
    workers.emplace_back([&] {
      for (;;) {
        std::size_t i = next_candidate.fetch_add(1);
        if (i >= candidates.size() || queue.stopped()) break;
        const Candidate& candidate = candidates[i];
        MetadataOverrides overrides =
            OverridesFor(candidate.path, options, table ? &*table : nullptr);
        if (!queue.Push(IngestFile(candidate, *catalog, overrides))) break;
      }
      queue.ProducerDone();
    });
  }

  // This thread is the single writer: each round adds whatever the decoders
  // have finished as one transaction, which spreads a commit's disk flush
  // over several files.
  int status = 0;
  std::vector<IngestResult> results;
  while (queue.TakeAll(results)) {
    std::vector<catalog::NewRecording> batch;
    std::vector<const IngestResult*> batched;
    for (IngestResult& result : results) {
      switch (result.kind) {
        case IngestResult::Kind::kReady:
          batch.push_back(std::move(result.item));
          batched.push_back(&result);
          continue;
        case IngestResult::Kind::kUnchanged:
          ++tally.skipped;
          // Not decoded: its audio must not count towards the speed.
          result.audio_s = 0;
          break;
        case IngestResult::Kind::kNotAudio:
          break;
        case IngestResult::Kind::kFailed:
          ++tally.failed;
          progress.Report("plim-catalog: " + result.problem);
          break;
      }
      progress.FileDone(result.size_bytes, result.audio_s);
    }
    if (!batch.empty()) {
      std::vector<catalog::AddResult> added;
      try {
        added = catalog->Add(batch);
      } catch (const foundation::NSError& error) {
        progress.Report("plim-catalog: " + error.description());
        tally.failed += batch.size();
        status = 1;
        queue.Stop();
        break;
      }
      for (std::size_t i = 0; i < added.size(); ++i) {
        switch (added[i].outcome) {
          case catalog::AddOutcome::kAdded:
            ++tally.added;
            break;
          case catalog::AddOutcome::kReplaced:
            ++tally.updated;
            break;
          case catalog::AddOutcome::kDuplicate:
            ++tally.skipped;
            break;
        }
        if (added[i].outcome != catalog::AddOutcome::kDuplicate)
          tally.indexed_s += batched[i]->audio_s;
        progress.FileDone(batched[i]->size_bytes, batched[i]->audio_s);
      }
    }
    results.clear();
  }
  // Unblock decoders waiting on a full queue if the loop ended early.
  queue.Stop();
  for (std::thread& worker : workers) worker.join();
  progress.Clear();
  foundation::writeToStandardError("plim-catalog: " + Summary(tally, progress));
  return status != 0 || tally.failed > 0 ? 1 : 0;
}

}  // namespace plim
