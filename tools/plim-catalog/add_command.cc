#include "tools/plim-catalog/add_command.h"

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <mutex>
#include <thread>

#include "platform/catalog/catalog_error.h"
#include "platform/catalog/catalog_store.h"
#include "platform/foundation/ns_error.h"
#include "platform/foundation/quoted_text.h"
#include "platform/foundation/standard_stream.h"
#include "tools/plim-catalog/add_dry_run.h"
#include "tools/plim-catalog/file_discovery.h"
#include "tools/plim-catalog/file_ingest.h"
#include "tools/plim-catalog/metadata_csv.h"
#include "tools/plim-catalog/number_text.h"
#include "tools/plim-catalog/progress_display.h"
#include "tools/plim-catalog/same_music.h"
#include "tools/plim-catalog/store_warnings.h"

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

// Ctrl-C: set by the signal handler, read by the decoders and the writer.
std::atomic<bool> interrupted{false};

void OnInterrupt(int) { interrupted.store(true); }

// Lets Ctrl-C end the run with its summary while installed. The handler
// resets itself, so a second Ctrl-C ends the program at once.
class InterruptGuard {
 public:
  InterruptGuard() {
    interrupted.store(false);
    struct sigaction action = {};
    action.sa_handler = OnInterrupt;
    action.sa_flags = SA_RESETHAND | SA_RESTART;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, &previous_);
  }
  ~InterruptGuard() { sigaction(SIGINT, &previous_, nullptr); }
  InterruptGuard(const InterruptGuard&) = delete;
  InterruptGuard& operator=(const InterruptGuard&) = delete;

 private:
  struct sigaction previous_ = {};
};

struct Tally {
  std::uint64_t added = 0;
  std::uint64_t updated = 0;
  std::uint64_t skipped = 0;
  std::uint64_t copies = 0;  // recorded as copies of recordings already there
  std::uint64_t failed = 0;
  std::uint64_t not_audio = 0;
  std::uint64_t retagged_unread = 0;  // changed tags, left as they were
  double indexed_s = 0;
};

std::string Summary(const Tally& tally, const ProgressDisplay& progress) {
  const std::string copies = tally.copies == 0 ? ""
                             : tally.copies == 1
                                 ? "; 1 recorded as a copy"
                                 : "; " + std::to_string(tally.copies) + " recorded as copies";
  char text[320];
  std::snprintf(text, sizeof text,
                "added %llu, updated %llu, skipped %llu (already in the catalog%s), failed %llu",
                static_cast<unsigned long long>(tally.added),
                static_cast<unsigned long long>(tally.updated),
                static_cast<unsigned long long>(tally.skipped + tally.copies), copies.c_str(),
                static_cast<unsigned long long>(tally.failed));
  std::string out = text;
  if (tally.not_audio > 0) {
    out += ", " + std::to_string(tally.not_audio) + " not audio (left out)";
  }
  double elapsed_s = progress.ElapsedS();
  if (tally.indexed_s > 0 && elapsed_s > 0) {
    std::snprintf(text, sizeof text, ": %.2f hours indexed, %.1f\xC3\x97 real time",
                  tally.indexed_s / 3600, progress.AudioS() / elapsed_s);
    out += text;
  }
  out += '\n';
  if (tally.retagged_unread > 0) {
    out += std::to_string(tally.retagged_unread) +
           " of the skipped files changed only in their tags; add --update-tags reads them "
           "again\n";
  }
  return out;
}

// Records the file of `item` as another copy of recording `id`, and the
// line that says so: "PATH" holds the same WHAT as recording ID ("ITS
// PATH"), ARTIST – TITLE: recorded as another copy. Empty when nothing was
// recorded: the recording is gone, or was added from this very file (by
// another add at the same time).
std::string RecordCopy(catalog::CatalogStore& catalog, const catalog::NewRecording& item,
                       catalog::RecordingId id, const char* what) {
  const catalog::Recording& r = item.recording;
  if (!catalog.AddCopy({id, r.source_path, r.source_size_bytes, r.source_modified_ns})) return "";
  std::optional<catalog::Recording> kept = catalog.NewCatalogReader()->GetRecording(id);
  std::string name;
  if (kept) {
    name = " (" + foundation::QuotedText(kept->source_path) + "), " +
           (kept->artist.empty() ? "" : foundation::ShownText(kept->artist) + " \xE2\x80\x93 ") +
           foundation::ShownText(kept->title);
  }
  return "plim-catalog: " + foundation::QuotedText(r.source_path) + " holds the same " + what +
         " as recording " + std::to_string(id) + name + ": recorded as another copy";
}

// The correction that makes a recording say what `item` says.
catalog::MetadataChange ChangeTo(const catalog::NewRecording& item, const FileStamp& stamp) {
  const catalog::Recording& r = item.recording;
  catalog::MetadataChange change;
  change.title = r.title;
  change.artist = r.artist;
  change.album = r.subtitle;
  change.isrc = r.isrc;
  change.genres = r.genres;
  change.artwork_url = r.artwork_url;
  change.artwork = item.artwork;
  change.source_size_bytes = stamp.size_bytes;
  change.source_modified_ns = stamp.modified_ns;
  return change;
}

}  // namespace

int RunAddCommand(const GlobalOptions& global, const AddCommandOptions& options) {
  std::optional<MetadataTable> table;
  std::vector<std::string> paths = options.paths;
  try {
    if (options.metadata.metadata_csv) table = ReadMetadataCsv(*options.metadata.metadata_csv);
  } catch (const foundation::NSError& error) {
    foundation::writeToStandardError("plim-catalog: " + error.description() + "\n");
    return 1;
  }
  if (paths.empty() && table) paths = table->paths;

  Discovery discovery = DiscoverFiles(paths);
  // The catalog's own files, when it lies in a folder being added.
  const std::string catalog_folder = NormalSourcePath(global.catalog_directory);
  std::erase_if(discovery.candidates,
                [&](const Candidate& c) { return IsUnderFolder(c.path, catalog_folder); });
  if (options.dry_run) return RunAddDryRun(global, options, discovery);
  std::unique_ptr<catalog::CatalogStore> catalog;
  try {
    catalog = catalog::OpenCatalogStore(global.catalog_directory,
                                        catalog::CatalogStore::Mode::kReadWrite);
  } catch (const foundation::NSError& error) {
    foundation::writeToStandardError("plim-catalog: " + error.description() + "\n");
    return 1;
  }
  WriteStoreWarnings(*catalog);

  const std::vector<Candidate>& candidates = discovery.candidates;
  std::uint64_t total_bytes = 0;
  for (const Candidate& c : candidates) total_bytes += c.size_bytes;
  ProgressDisplay progress(!global.quiet && isatty(STDERR_FILENO) == 1, candidates.size(),
                           total_bytes);
  Tally tally;
  for (const DiscoveryProblem& problem : discovery.problems) {
    progress.Report("plim-catalog: " + problem.message);
    ++tally.failed;
  }

  InterruptGuard interrupt_guard;
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
        if (i >= candidates.size() || queue.stopped() || interrupted.load()) break;
        const Candidate& candidate = candidates[i];
        progress.SetCurrentFile(candidate.path);
        MetadataOverrides overrides =
            MetadataFor(candidate.path, options.metadata, table ? &*table : nullptr);
        if (!queue.Push(IngestFile(candidate, *catalog, overrides))) break;
      }
      queue.ProducerDone();
    });
  }

  // This thread is the single writer: each round adds whatever the decoders
  // have finished as one transaction, which spreads a commit's disk flush
  // over several files.
  int status = 0;
  bool stopped_by_error = false;
  std::vector<IngestResult> results;
  while (queue.TakeAll(results)) {
    std::vector<catalog::NewRecording> batch;
    std::vector<const IngestResult*> batched;
    // Adds what is batched as one transaction and tells of each file.
    auto add_batch = [&] {
      std::vector<catalog::AddResult> added;
      if (!batch.empty()) added = catalog->Add(batch);
      for (std::size_t i = 0; i < added.size(); ++i) {
        const IngestResult& result = *batched[i];
        switch (added[i].outcome) {
          case catalog::AddOutcome::kAdded:
            ++tally.added;
            break;
          case catalog::AddOutcome::kReplaced:
            ++tally.updated;
            break;
          case catalog::AddOutcome::kDuplicate:
            // The same audio from the same path: the file changed in its tags alone.
            if (result.known_id == added[i].id && options.update_tags) {
              const catalog::Recording& r = batch[i].recording;
              catalog->Correct(added[i].id,
                               ChangeTo(batch[i], {r.source_size_bytes, r.source_modified_ns}));
              ++tally.updated;
            } else if (result.known_id == added[i].id) {
              ++tally.retagged_unread;
              ++tally.skipped;
            } else if (std::string notice = RecordCopy(*catalog, batch[i], added[i].id, "audio");
                       !notice.empty()) {
              if (!global.quiet) progress.Report(notice);
              ++tally.copies;
            } else {
              ++tally.skipped;  // added from this file meanwhile
            }
            break;
        }
        if (added[i].outcome != catalog::AddOutcome::kDuplicate) tally.indexed_s += result.audio_s;
        progress.FileDone(result.size_bytes, result.audio_s);
      }
      batch.clear();
      batched.clear();
    };
    // Whether the music of `result` is in the catalog already, in another
    // file: then it is recorded as a copy and true.
    auto recorded_as_copy = [&](const IngestResult& result) {
      if (options.allow_duplicates || result.known_id) return false;
      const catalog::NewRecording& item = result.item;
      // Two files of one batch that may hold the same music are added one
      // after the other, so that the second is compared with the first.
      if (std::any_of(batch.begin(), batch.end(), [&](const catalog::NewRecording& earlier) {
            return SimilarDurations(earlier.recording.duration_s, item.recording.duration_s);
          })) {
        add_batch();
      }
      std::vector<SameMusic> same;
      {
        // Scoped: a reader must not live on while the writer needs the map.
        std::unique_ptr<catalog::CatalogReader> reader = catalog->NewCatalogReader();
        // The same audio byte for byte is found by the add itself.
        if (reader->FindByContentHash(item.recording.content_hash)) return false;
        same = FindSameMusic(*reader, {item.peaks, item.recording.duration_s, {}});
      }
      if (same.empty()) return false;
      std::string notice = RecordCopy(*catalog, item, same.front().id, "music");
      if (notice.empty()) return false;
      if (!global.quiet) progress.Report(notice);
      ++tally.copies;
      return true;
    };
    try {
      for (IngestResult& result : results) {
        switch (result.kind) {
          case IngestResult::Kind::kReady:
            for (const std::string& warning : result.warnings)
              progress.Report("plim-catalog: " + warning);
            if (recorded_as_copy(result)) break;
            batch.push_back(std::move(result.item));
            batched.push_back(&result);
            continue;
          case IngestResult::Kind::kUnchanged:
            ++tally.skipped;
            // Not decoded: its audio must not count towards the speed.
            result.audio_s = 0;
            break;
          case IngestResult::Kind::kNotAudio:
            ++tally.not_audio;
            break;
          case IngestResult::Kind::kFailed:
            ++tally.failed;
            progress.Report("plim-catalog: " + result.problem);
            break;
        }
        progress.FileDone(result.size_bytes, result.audio_s);
      }
      add_batch();
    } catch (const foundation::NSError& error) {
      progress.Report("plim-catalog: " + error.description());
      stopped_by_error = true;
      status = 1;
      queue.Stop();
      break;
    }
    results.clear();
  }
  // Unblock decoders waiting on a full queue if the loop ended early.
  queue.Stop();
  for (std::thread& worker : workers) worker.join();
  progress.Clear();
  if (stopped_by_error) {
    // What failed may be a batch, a copy or a correction, and the files not
    // reached are not added either: every file found and not accounted for
    // counts as failed.
    const std::uint64_t accounted = tally.added + tally.updated + tally.skipped + tally.copies +
                                    tally.not_audio + tally.failed - discovery.problems.size();
    if (candidates.size() > accounted) tally.failed += candidates.size() - accounted;
  }
  if (interrupted.load()) {
    foundation::writeToStandardError(
        "plim-catalog: interrupted: what was added before stays in the catalog; run the same "
        "add again to go on\n");
  }
  if (!global.quiet) foundation::writeToStandardError("plim-catalog: " + Summary(tally, progress));
  if (interrupted.load()) return kExitInterrupted;
  return status != 0 || tally.failed > 0 ? 1 : 0;
}

}  // namespace plim
