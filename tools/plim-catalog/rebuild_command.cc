#include "tools/plim-catalog/rebuild_command.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <optional>
#include <set>
#include <vector>

#include "platform/catalog/lmdb/catalog.h"
#include "platform/fingerprint/fingerprint_params.h"
#include "platform/foundation/ns_error.h"
#include "platform/foundation/quoted_text.h"
#include "platform/foundation/standard_stream.h"
#include "tools/plim-catalog/number_text.h"
#include "tools/plim-catalog/redo_recordings.h"

namespace plim {
namespace {

namespace fs = std::filesystem;

void Say(const std::string& line) {
  foundation::writeToStandardError("plim-catalog: " + line + "\n");
}

std::string Quoted(const fs::path& path) { return foundation::QuotedText(path.string()); }

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
  std::vector<std::string> left_out;
  catalog::OpenOptions open;
  open.accept_other_fingerprint_version = true;
  try {
    auto old = catalog::Catalog::Open(directory, catalog::Catalog::Mode::kReadOnly, open);
    if (options.repair) {
      catalog::VerificationReport report = old->Verify();
      for (auto& [id, recording] : report.recordings) old_recordings.push_back({id, recording});
      std::set<catalog::RecordingId> unreadable;
      for (const catalog::CatalogDamage& damage : report.damage) {
        // Only a recording whose record is damaged has no file named.
        if (damage.id == 0 || !damage.source_path.empty() || !unreadable.insert(damage.id).second)
          continue;
        left_out.push_back("recording " + std::to_string(damage.id) + ": " + damage.what);
        Say("left out " + left_out.back());
      }
    } else if (old->fingerprint_version() == fingerprint::kFingerprintVersion) {
      Say("the catalog at " + Quoted(directory) + " is up to date (fingerprint version " +
          std::to_string(fingerprint::kFingerprintVersion) + "): nothing to rebuild");
      return 0;
    } else {
      catalog::Catalog::Reader reader = old->NewReader();
      reader.ForEachRecording([&](catalog::RecordingId id, const catalog::Recording& recording) {
        old_recordings.push_back({id, recording});
        return true;
      });
    }
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
  try {
    auto old = catalog::Catalog::Open(directory, catalog::Catalog::Mode::kReadOnly, open);
    auto fresh = catalog::Catalog::Open(staging, catalog::Catalog::Mode::kReadWrite);
    rebuilt = RedoRecordings(old_recordings, *old, *fresh, options.jobs, left_out);
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
    Say("the catalog before the rebuild, with the " +
        Counted(left_out.size(), "recording", "recordings") + " left out, is kept at " +
        Quoted(keep));
  }
  Say("rebuilt " + std::to_string(rebuilt) + " of " +
      Counted(old_recordings.size(), "recording", "recordings") + " with fingerprint version " +
      std::to_string(fingerprint::kFingerprintVersion));
  return 0;
}

}  // namespace plim
