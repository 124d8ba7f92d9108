#include "tools/plim-catalog/inspect_commands.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <functional>

#include "platform/foundation/ns_error.h"
#include "platform/foundation/quoted_text.h"
#include "platform/foundation/standard_stream.h"
#include "tools/plim-catalog/duration_text.h"
#include "tools/plim-catalog/file_discovery.h"
#include "tools/plim-catalog/json_line.h"
#include "tools/plim-catalog/number_text.h"
#include "tools/plim-catalog/store_warnings.h"

namespace plim {
namespace {

using catalog::CatalogStore;
using catalog::Recording;
using catalog::RecordingId;

// Inspection works on a catalog of another fingerprint version too: listing
// it is how a user finds the files to add again when it must be rebuilt.
std::unique_ptr<CatalogStore> OpenForInspection(const std::string& location,
                                                CatalogStore::Mode mode) {
  catalog::OpenOptions options;
  options.accept_other_fingerprint_version = true;
  std::unique_ptr<CatalogStore> store = catalog::OpenCatalogStore(location, mode, options);
  WriteStoreWarnings(*store);
  return store;
}

int Failed(const foundation::NSError& error) {
  foundation::writeToStandardError("plim-catalog: " + error.description() + "\n");
  return 1;
}

int NoSuchRecording(const std::string& target) {
  foundation::writeToStandardError("plim-catalog: There is no recording " +
                                   foundation::QuotedText(target) + " in the catalog.\n");
  return 1;
}

std::string Lowercase(std::string_view text) {
  std::string out(text);
  std::transform(out.begin(), out.end(), out.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return out;
}

bool Contains(std::string_view text, const std::optional<std::string>& part) {
  return !part || Lowercase(text).find(Lowercase(*part)) != std::string::npos;
}

std::string Number(const char* format, double value) {
  char text[64];
  std::snprintf(text, sizeof text, format, value);
  return text;
}

}  // namespace

std::string TableCell(std::string_view text) { return foundation::ShownText(text); }

std::string RecordingJson(RecordingId id, const Recording& r,
                          const std::vector<catalog::RecordingCopy>& copies) {
  std::vector<std::string> copy_paths;
  for (const catalog::RecordingCopy& copy : copies) copy_paths.push_back(copy.path);
  JsonLine line;
  line.Integer("id", id)
      .Text("title", r.title)
      .Text("artist", r.artist)
      .Text("album", r.subtitle)
      .Text("isrc", r.isrc)
      .TextList("genres", r.genres)
      .Number("duration_s", r.duration_s, "%.3f")
      .Text("artwork_url", r.artwork_url)
      .Text("path", r.source_path)
      .Integer("size_bytes", r.source_size_bytes)
      .Text("content_hash", r.content_hash)
      .Integer("landmark_count", r.landmark_count);
  if (!copy_paths.empty()) line.TextList("copies", copy_paths);
  return line.Finish();
}

std::optional<RecordingId> FindRecording(const catalog::CatalogReader& reader,
                                         const std::string& target) {
  RecordingId id = 0;
  auto [end, error] = std::from_chars(target.data(), target.data() + target.size(), id);
  if (error == std::errc() && end == target.data() + target.size() && id != 0) return id;
  const std::string path = NormalSourcePath(target);
  if (std::optional<RecordingId> found = reader.FindBySourcePath(path)) return found;
  if (std::optional<catalog::RecordingCopy> copy = reader.FindCopy(path)) return copy->id;
  return std::nullopt;
}

std::vector<catalog::RecordingCopy> CopiesOf(
    const catalog::CatalogReader& reader,
    const std::function<bool(const catalog::RecordingCopy&)>& picked) {
  std::vector<catalog::RecordingCopy> copies;
  reader.ForEachCopy([&](const catalog::RecordingCopy& copy) {
    if (picked(copy)) copies.push_back(copy);
    return true;
  });
  return copies;
}

bool MatchesFilter(const Recording& r, const ListFilter& filter) {
  return Contains(r.artist, filter.artist) && Contains(r.title, filter.title) &&
         Contains(r.subtitle, filter.album) &&
         (!filter.under || IsUnderFolder(r.source_path, NormalSourcePath(*filter.under)));
}

int RunListCommand(const GlobalOptions& global, const ListFilter& filter) {
  try {
    auto catalog = OpenForInspection(global.catalog_directory, CatalogStore::Mode::kReadOnly);
    std::unique_ptr<catalog::CatalogReader> reading = catalog->NewCatalogReader();
    const catalog::CatalogReader& reader = *reading;
    std::string out = global.json ? "" : "ID\tARTIST\tTITLE\tDURATION\tPATH\n";
    reader.ForEachRecording([&](RecordingId id, const Recording& r) {
      if (!MatchesFilter(r, filter)) return true;
      if (global.json) {
        out += RecordingJson(id, r);
      } else {
        out += std::to_string(id) + '\t' + TableCell(r.artist) + '\t' + TableCell(r.title) + '\t' +
               FormatDuration(r.duration_s) + '\t' + TableCell(r.source_path) + '\n';
      }
      // Written in slices, so that a large catalog streams out.
      if (out.size() > (1 << 16)) {
        foundation::writeToStandardOutput(out);
        out.clear();
      }
      return true;
    });
    foundation::writeToStandardOutput(out);
    return 0;
  } catch (const foundation::NSError& error) {
    return Failed(error);
  }
}

int RunShowCommand(const GlobalOptions& global, const std::string& target) {
  try {
    auto catalog = OpenForInspection(global.catalog_directory, CatalogStore::Mode::kReadOnly);
    std::unique_ptr<catalog::CatalogReader> reading = catalog->NewCatalogReader();
    const catalog::CatalogReader& reader = *reading;
    std::optional<RecordingId> id = FindRecording(reader, target);
    std::optional<Recording> r = id ? reader.GetRecording(*id) : std::nullopt;
    if (!r) return NoSuchRecording(target);
    const std::vector<catalog::RecordingCopy> copies =
        CopiesOf(reader, [&](const catalog::RecordingCopy& copy) { return copy.id == *id; });
    if (global.json) {
      foundation::writeToStandardOutput(RecordingJson(*id, *r, copies));
      return 0;
    }
    std::string genres;
    for (const std::string& genre : r->genres)
      genres += (genres.empty() ? "" : "; ") + TableCell(genre);
    std::string out = "id: " + std::to_string(*id) + "\ntitle: " + TableCell(r->title) +
                      "\nartist: " + TableCell(r->artist) + "\nalbum: " + TableCell(r->subtitle) +
                      "\nisrc: " + TableCell(r->isrc) + "\ngenres: " + genres +
                      "\nduration: " + Number("%.3f s", r->duration_s) + " (" +
                      FormatDuration(r->duration_s) + ")\nartwork: " + TableCell(r->artwork_url) +
                      "\npath: " + TableCell(r->source_path) +
                      "\nsize: " + std::to_string(r->source_size_bytes) +
                      " bytes\ncontent hash: " + TableCell(r->content_hash) +
                      "\nlandmarks: " + std::to_string(r->landmark_count) + "\n";
    for (const catalog::RecordingCopy& copy : copies) out += "copy: " + TableCell(copy.path) + "\n";
    foundation::writeToStandardOutput(out);
    return 0;
  } catch (const foundation::NSError& error) {
    return Failed(error);
  }
}

int RunStatsCommand(const GlobalOptions& global) {
  try {
    auto catalog = OpenForInspection(global.catalog_directory, CatalogStore::Mode::kReadOnly);
    catalog::DiskUsage usage = catalog->MeasureDiskUsage();
    std::unique_ptr<catalog::CatalogReader> reading = catalog->NewCatalogReader();
    const catalog::CatalogReader& reader = *reading;
    double hours = reader.TotalDurationS() / 3600;
    std::uint64_t used_bytes = usage.database_used_bytes + usage.artwork_bytes;
    std::uint64_t disk_bytes = usage.database_file_bytes + usage.artwork_bytes;
    double bytes_per_hour = hours > 0 ? static_cast<double>(used_bytes) / hours : 0.0;
    if (global.json) {
      foundation::writeToStandardOutput(
          JsonLine()
              .Text("catalog", catalog->location())
              .Integer("recordings", reader.RecordingCount())
              .Number("hours", hours, "%.4f")
              .Integer("landmarks", reader.LandmarkCount())
              .Integer("disk_bytes", disk_bytes)
              .Integer("database_used_bytes", usage.database_used_bytes)
              .Integer("artwork_bytes", usage.artwork_bytes)
              .Number("bytes_per_hour", bytes_per_hour, "%.0f")
              .Integer("fingerprint_version", catalog->fingerprint_version())
              .Finish());
      return 0;
    }
    std::string text =
        "catalog: " + TableCell(catalog->location()) +
        "\nrecordings: " + std::to_string(reader.RecordingCount()) +
        "\nhours of audio: " + Number("%.2f", hours) +
        "\nlandmarks: " + std::to_string(reader.LandmarkCount()) +
        "\nsize on disk: " + Number("%.1f MB", static_cast<double>(disk_bytes) / 1e6) +
        " (database " + Number("%.1f MB", static_cast<double>(usage.database_used_bytes) / 1e6) +
        " in use, artwork " + Number("%.1f MB", static_cast<double>(usage.artwork_bytes) / 1e6) +
        ")\nbytes per hour of audio: " + Number("%.0f", bytes_per_hour) +
        "\nfingerprint version: " + std::to_string(catalog->fingerprint_version()) + "\n";
    foundation::writeToStandardOutput(text);
    return 0;
  } catch (const foundation::NSError& error) {
    return Failed(error);
  }
}

namespace {

// The recordings that `visit` picks, read in one snapshot that is closed
// before anything is removed.
std::vector<RecordingId> Pick(const CatalogStore& catalog,
                              const std::function<bool(const Recording&)>& picked) {
  std::vector<RecordingId> ids;
  catalog.NewCatalogReader()->ForEachRecording([&](RecordingId id, const Recording& r) {
    if (picked(r)) ids.push_back(id);
    return true;
  });
  return ids;
}

std::string RemovedLine(const GlobalOptions& global, bool dry_run, const char* what, RecordingId id,
                        const Recording& r, const std::string& path) {
  if (global.json) {
    return JsonLine()
        .Text("action", dry_run ? "would remove" : "removed")
        .Integer("id", id)
        .Text("artist", r.artist)
        .Text("title", r.title)
        .Text("path", path)
        .Boolean("copy", *what != '\0')
        .Finish();
  }
  return std::string(dry_run ? "would remove " : "removed ") + what + std::to_string(id) + '\t' +
         TableCell(r.artist) + '\t' + TableCell(r.title) + '\t' + TableCell(path) + '\n';
}

// Removes `ids` (each with its copies) and then `copies` alone, saying so
// unless quiet (or, for a dry run, what would go); JSON lines and a dry
// run's lines, which are data, are written even when quiet.
void RemoveAll(CatalogStore& catalog, const std::vector<RecordingId>& ids,
               const std::vector<catalog::RecordingCopy>& copies, const GlobalOptions& global,
               bool dry_run = false) {
  std::string out;
  for (RecordingId id : ids) {
    std::vector<catalog::RecordingCopy> its_copies =
        CopiesOf(*catalog.NewCatalogReader(),
                 [&](const catalog::RecordingCopy& copy) { return copy.id == id; });
    std::optional<Recording> r =
        dry_run ? catalog.NewCatalogReader()->GetRecording(id) : catalog.Remove(id);
    if (!r || (global.quiet && !global.json && !dry_run)) continue;
    out += RemovedLine(global, dry_run, "", id, *r, r->source_path);
    for (const catalog::RecordingCopy& copy : its_copies)
      out += RemovedLine(global, dry_run, "copy of ", id, *r, copy.path);
  }
  for (const catalog::RecordingCopy& copy : copies) {
    if (std::find(ids.begin(), ids.end(), copy.id) != ids.end()) continue;
    std::optional<Recording> r = catalog.NewCatalogReader()->GetRecording(copy.id);
    if (!dry_run && !catalog.RemoveCopy(copy.path)) continue;
    if (r && (!global.quiet || global.json || dry_run))
      out += RemovedLine(global, dry_run, "copy of ", copy.id, *r, copy.path);
  }
  foundation::writeToStandardOutput(out);
}

}  // namespace

int RunRemoveCommand(const GlobalOptions& global, const std::vector<std::string>& targets,
                     bool dry_run) {
  int status = 0;
  try {
    auto catalog =
        OpenForInspection(global.catalog_directory,
                          dry_run ? CatalogStore::Mode::kReadOnly : CatalogStore::Mode::kReadWrite);
    for (const std::string& target : targets) {
      std::vector<RecordingId> ids;
      std::vector<catalog::RecordingCopy> copies;
      const std::string path = NormalSourcePath(target);
      std::unique_ptr<catalog::CatalogReader> reader = catalog->NewCatalogReader();
      // A copy's path removes that copy alone: the recording keeps its other files.
      if (std::optional<catalog::RecordingCopy> copy = reader->FindCopy(path)) {
        copies.push_back(*copy);
      } else if (std::optional<RecordingId> id = FindRecording(*reader, target)) {
        ids.push_back(*id);
      } else if (!target.empty()) {
        ids =
            Pick(*catalog, [&](const Recording& r) { return IsUnderFolder(r.source_path, path); });
        copies = CopiesOf(*reader, [&](const catalog::RecordingCopy& copy) {
          return IsUnderFolder(copy.path, path);
        });
      }
      const bool found =
          !copies.empty() || ids.size() > 1 || (ids.size() == 1 && reader->GetRecording(ids[0]));
      reader.reset();
      if (!found) {
        status = NoSuchRecording(target);
        continue;
      }
      RemoveAll(*catalog, ids, copies, global, dry_run);
    }
  } catch (const foundation::NSError& error) {
    return Failed(error);
  }
  return status;
}

int RunPruneCommand(const GlobalOptions& global, bool dry_run) {
  try {
    auto catalog =
        OpenForInspection(global.catalog_directory,
                          dry_run ? CatalogStore::Mode::kReadOnly : CatalogStore::Mode::kReadWrite);
    auto is_gone = [](const std::string& path) {
      std::error_code error;
      return !path.empty() && !std::filesystem::exists(path, error) && !error;
    };
    std::vector<RecordingId> gone =
        Pick(*catalog, [&](const Recording& r) { return is_gone(r.source_path); });
    std::vector<catalog::RecordingCopy> gone_copies =
        CopiesOf(*catalog->NewCatalogReader(),
                 [&](const catalog::RecordingCopy& copy) { return is_gone(copy.path); });
    RemoveAll(*catalog, gone, gone_copies, global, dry_run);
    if (!global.quiet) {
      const std::string copies =
          gone_copies.empty() ? "" : " (and " + Counted(gone_copies.size(), "copy", "copies") + ")";
      foundation::writeToStandardError(
          "plim-catalog: " + Counted(gone.size(), "recording", "recordings") +
          (dry_run ? " would be pruned" : " pruned") + copies + "\n");
    }
    return 0;
  } catch (const foundation::NSError& error) {
    return Failed(error);
  }
}

int RunCleanCommand(const GlobalOptions& global, double min_age_s) {
  try {
    auto catalog = OpenForInspection(global.catalog_directory, CatalogStore::Mode::kReadWrite);
    const std::uint64_t cleaned = catalog->CleanLeftovers(min_age_s);
    if (!global.quiet) {
      foundation::writeToStandardError("plim-catalog: cleaned the leftovers of " +
                                       std::to_string(cleaned) + " unfinished recording" +
                                       (cleaned == 1 ? "" : "s") + "\n");
    }
    return 0;
  } catch (const foundation::NSError& error) {
    return Failed(error);
  }
}

}  // namespace plim
