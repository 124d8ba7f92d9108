#include "tools/plim-catalog/rebuild_command.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <optional>
#include <sstream>
#include <thread>
#include <vector>

#include "platform/catalog/catalog.h"
#include "platform/fingerprint/fingerprint_params.h"
#include "platform/foundation/ns_error.h"
#include "platform/foundation/standard_stream.h"
#include "tools/plim-catalog/audio_file_signature.h"

namespace plim {
namespace {

namespace fs = std::filesystem;

void Say(const std::string& line) {
  foundation::writeToStandardError("plim-catalog: " + line + "\n");
}

std::string Quoted(const fs::path& path) {
  std::string quoted = "\"";
  quoted.append(path.string()).push_back('"');
  return quoted;
}

struct OldRecording {
  catalog::RecordingId id = 0;
  catalog::Recording recording;
};

// A recording made again from its file, or why it could not be.
struct Redone {
  std::optional<catalog::NewRecording> item;
  std::string problem;
};

Redone Redo(const OldRecording& old, const fs::path& artwork_folder) {
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
    // The file as it is now, so that a later add sees it unchanged.
    struct stat file_stat;
    if (stat(old.recording.source_path.c_str(), &file_stat) == 0) {
      item.recording.source_size_bytes = static_cast<std::uint64_t>(file_stat.st_size);
      item.recording.source_modified_ns =
          static_cast<std::int64_t>(file_stat.st_mtim.tv_sec) * 1000000000 +
          file_stat.st_mtim.tv_nsec;
    }
    if (!old.recording.artwork_file.empty()) {
      // The picture moves with the catalog; its old file:// URL would not.
      item.recording.artwork_url.clear();
      std::ifstream image(artwork_folder / old.recording.artwork_file, std::ios::binary);
      std::stringstream bytes;
      bytes << image.rdbuf();
      if (image && !bytes.str().empty()) item.artwork = catalog::Artwork{bytes.str(), ""};
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

// A free name beside `directory` for keeping the old catalog.
fs::path KeepName(const fs::path& directory) {
  fs::path keep = directory.string() + ".before-rebuild";
  for (int n = 2; fs::exists(keep); ++n) {
    keep = directory.string() + ".before-rebuild-" + std::to_string(n);
  }
  return keep;
}

}  // namespace

int RunRebuildCommand(const RebuildCommandOptions& options) {
  if (catalog::IsRedisLocation(options.catalog_directory)) {
    foundation::writeToStandardError(
        "plim-catalog: rebuild works on catalog directories; a Redis catalog is rebuilt by adding "
        "its files again into a new name\n");
    return 1;
  }
  std::error_code error;
  const fs::path directory = fs::absolute(options.catalog_directory, error).lexically_normal();
  const fs::path staging = directory.string() + ".rebuild";
  std::vector<OldRecording> old_recordings;
  try {
    catalog::OpenOptions open;
    open.accept_other_fingerprint_version = true;
    auto old = catalog::Catalog::Open(directory, catalog::Catalog::Mode::kReadOnly, open);
    if (old->fingerprint_version() == fingerprint::kFingerprintVersion) {
      Say("the catalog at " + Quoted(directory) + " is up to date (fingerprint version " +
          std::to_string(fingerprint::kFingerprintVersion) + "): nothing to rebuild");
      return 0;
    }
    catalog::Catalog::Reader reader = old->NewReader();
    reader.ForEachRecording([&](catalog::RecordingId id, const catalog::Recording& recording) {
      old_recordings.push_back({id, recording});
      return true;
    });
  } catch (const foundation::NSError& failure) {
    Say(failure.description());
    return 1;
  }

  // What an interrupted rebuild left is started over.
  fs::remove_all(staging, error);
  if (error) {
    Say("could not clear " + Quoted(staging) + " for the rebuild: " + error.message());
    return 1;
  }
  std::size_t rebuilt = 0;
  std::vector<std::string> left_out;
  try {
    auto fresh = catalog::Catalog::Open(staging, catalog::Catalog::Mode::kReadWrite);
    unsigned jobs =
        options.jobs > 0 ? options.jobs : std::max(1u, std::thread::hardware_concurrency());
    OrderedResults results(old_recordings.size(), 4 * std::size_t{jobs});
    const fs::path artwork_folder = directory / "artwork";
    std::vector<std::thread> workers;
    for (unsigned j = 0; j < jobs; ++j) {
      workers.emplace_back([&] {
        while (std::optional<std::size_t> i = results.Take()) {
          results.Put(*i, Redo(old_recordings[*i], artwork_folder));
        }
      });
    }
    std::optional<foundation::NSError> write_error;
    for (std::size_t i = 0; i < old_recordings.size() && !write_error; ++i) {
      Redone redone = results.Get(i);
      const OldRecording& old = old_recordings[i];
      if (!redone.item) {
        left_out.push_back("recording " + std::to_string(old.id) + " (" +
                           Quoted(old.recording.title) + "): " + redone.problem);
        Say("left out " + left_out.back());
        continue;
      }
      try {
        fresh->Add(std::span<const catalog::NewRecording>(&*redone.item, 1));
        ++rebuilt;
      } catch (const foundation::NSError& failure) {
        write_error = failure;
      }
    }
    results.Stop();
    for (std::thread& worker : workers) worker.join();
    if (write_error) throw *write_error;
  } catch (const foundation::NSError& failure) {
    Say(failure.description() + "; the catalog at " + Quoted(directory) + " is unchanged");
    return 1;
  }

  // Both catalogs are closed now. One rename swaps them, so the directory
  // always holds a whole catalog, old or new.
  if (renameat2(AT_FDCWD, staging.c_str(), AT_FDCWD, directory.c_str(), RENAME_EXCHANGE) != 0) {
    Say("could not put the rebuilt catalog in place of " + Quoted(directory) + ": " +
        std::strerror(errno) + "; the catalog is unchanged");
    return 1;
  }
  if (left_out.empty()) {
    fs::remove_all(staging, error);
  } else {
    const fs::path keep = KeepName(directory);
    fs::rename(staging, keep, error);
    Say("the catalog before the rebuild, with the " + std::to_string(left_out.size()) +
        " recordings left out, is kept at " + Quoted(keep));
  }
  Say("rebuilt " + std::to_string(rebuilt) + " of " + std::to_string(old_recordings.size()) +
      " recordings with fingerprint version " + std::to_string(fingerprint::kFingerprintVersion));
  return 0;
}

}  // namespace plim
