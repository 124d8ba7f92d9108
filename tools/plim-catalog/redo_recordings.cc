#include "tools/plim-catalog/redo_recordings.h"

#include <sys/stat.h>

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <thread>

#include "platform/foundation/ns_error.h"
#include "platform/foundation/quoted_text.h"
#include "platform/foundation/standard_stream.h"
#include "tools/plim-catalog/audio_file_signature.h"

namespace plim {
namespace {

// A recording made again from its file, or why it could not be.
struct Redone {
  std::optional<catalog::NewRecording> item;
  std::string problem;
};

Redone Redo(const OldRecording& old) {
  Redone out;
  try {
    AudioFileSignature audio = SignAudioFile(old.recording.source_path);
    catalog::NewRecording item;
    item.id = old.id;
    item.recording = old.recording;
    item.recording.content_hash = std::move(audio.content_hash);
    item.recording.duration_s = audio.duration_s;
    item.landmarks = audio.signature.ReferenceLandmarks();
    item.peaks = audio.signature.ReferencePeaks();
    item.outline = audio.signature.constellation().outline;
    // The file as it is now, so that a later add sees it unchanged.
    struct stat file_stat;
    if (stat(old.recording.source_path.c_str(), &file_stat) == 0) {
      item.recording.source_size_bytes = static_cast<std::uint64_t>(file_stat.st_size);
      item.recording.source_modified_ns =
          static_cast<std::int64_t>(file_stat.st_mtim.tv_sec) * 1000000000 +
          file_stat.st_mtim.tv_nsec;
    }
    out.item = std::move(item);
  } catch (const foundation::NSError& error) {
    out.problem = error.description();
  } catch (const std::bad_alloc&) {
    out.problem = "out of memory";
  }
  return out;
}

// Results kept in id order for the single writer: the index takes ids in
// ascending order only. Decoders run at most `window` recordings ahead of
// the writer, which bounds the landmarks held.
class OrderedResults {
 public:
  OrderedResults(std::size_t count, std::size_t window) : slots_(count), window_(window) {}

  // The next recording to decode, or nullopt when all are taken. Blocks
  // while the decoders are `window` ahead.
  std::optional<std::size_t> Take() {
    std::unique_lock lock(mutex_);
    can_take_.wait(lock, [&] { return next_ < written_ + window_ || stopped_; });
    if (stopped_ || next_ >= slots_.size()) return std::nullopt;
    return next_++;
  }

  void Put(std::size_t i, Redone result) {
    std::lock_guard lock(mutex_);
    slots_[i] = std::move(result);
    ready_.notify_all();
  }

  // Waits for result i (taken in order by the one writer).
  Redone Get(std::size_t i) {
    std::unique_lock lock(mutex_);
    ready_.wait(lock, [&] { return slots_[i].has_value(); });
    Redone result = std::move(*slots_[i]);
    slots_[i].reset();
    written_ = i + 1;
    can_take_.notify_all();
    return result;
  }

  void Stop() {
    std::lock_guard lock(mutex_);
    stopped_ = true;
    can_take_.notify_all();
  }

 private:
  std::mutex mutex_;
  std::condition_variable can_take_;          // notified as the writer moves on, or on Stop
  std::condition_variable ready_;             // notified on Put
  std::vector<std::optional<Redone>> slots_;  // guarded by mutex_
  const std::size_t window_;
  std::size_t next_ = 0;     // guarded by mutex_
  std::size_t written_ = 0;  // guarded by mutex_
  bool stopped_ = false;     // guarded by mutex_
};

}  // namespace

std::size_t RedoRecordings(const std::vector<OldRecording>& old,
                           const catalog::CatalogStore& source, catalog::CatalogStore& destination,
                           unsigned jobs, std::vector<std::string>& left_out) {
  jobs = jobs > 0 ? jobs : std::max(1u, std::thread::hardware_concurrency());
  OrderedResults results(old.size(), 4 * std::size_t{jobs});
  std::vector<std::thread> workers;
  for (unsigned j = 0; j < jobs; ++j) {
    workers.emplace_back([&] {
      while (std::optional<std::size_t> i = results.Take()) results.Put(*i, Redo(old[*i]));
    });
  }
  // Pictures are read here, by the one thread that owns the reader.
  std::unique_ptr<catalog::CatalogReader> pictures = source.NewCatalogReader();
  std::size_t added = 0;
  std::vector<catalog::RecordingId> added_ids;
  std::optional<foundation::NSError> write_error;
  for (std::size_t i = 0; i < old.size() && !write_error; ++i) {
    Redone redone = results.Get(i);
    const OldRecording& recording = old[i];
    if (!redone.item) {
      left_out.push_back("recording " + std::to_string(recording.id) + " (" +
                         foundation::QuotedText(recording.recording.title) +
                         "): " + redone.problem);
      foundation::writeToStandardError("plim-catalog: left out " + left_out.back() + "\n");
      continue;
    }
    if (!recording.recording.artwork_file.empty()) {
      // The picture moves with the catalog; its old URL would not.
      redone.item->recording.artwork_url.clear();
      if (std::optional<catalog::Artwork> picture =
              pictures->ReadArtwork(recording.recording.artwork_file))
        redone.item->artwork = std::move(picture);
    }
    try {
      destination.Add(std::span<const catalog::NewRecording>(&*redone.item, 1));
      added_ids.push_back(recording.id);
      ++added;
    } catch (const foundation::NSError& failure) {
      write_error = failure;
    }
  }
  results.Stop();
  for (std::thread& worker : workers) worker.join();
  if (write_error) throw *write_error;
  // The copies of the recordings made again go with them (ids are kept, in
  // ascending order).
  std::vector<catalog::RecordingCopy> copies;
  pictures->ForEachCopy([&](const catalog::RecordingCopy& copy) {
    if (std::binary_search(added_ids.begin(), added_ids.end(), copy.id)) copies.push_back(copy);
    return true;
  });
  pictures.reset();
  for (const catalog::RecordingCopy& copy : copies) destination.AddCopy(copy);
  return added;
}

}  // namespace plim
