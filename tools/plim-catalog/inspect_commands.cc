#include "tools/plim-catalog/inspect_commands.h"

#include <charconv>
#include <cmath>
#include <cstdio>

#include "platform/catalog/catalog.h"
#include "platform/foundation/json_string.h"
#include "platform/foundation/ns_error.h"
#include "platform/foundation/quoted_text.h"
#include "platform/foundation/standard_stream.h"
#include "tools/plim-catalog/duration_text.h"
#include "tools/plim-catalog/file_discovery.h"

namespace plim {
namespace {

using catalog::Catalog;
using catalog::Recording;
using catalog::RecordingId;

// Inspection works on a catalog of another fingerprint version too: listing
// it is how a user finds the files to add again when it must be rebuilt.
std::unique_ptr<Catalog> OpenForInspection(const std::string& directory, Catalog::Mode mode) {
  catalog::OpenOptions options;
  options.accept_other_fingerprint_version = true;
  return Catalog::Open(directory, mode, options);
}

// Tabs and line breaks would break the line format; they become spaces.
std::string Cell(std::string text) {
  for (char& c : text) {
    if (c == '\t' || c == '\n' || c == '\r') c = ' ';
  }
  return text;
}

void AppendJsonField(std::string& out, std::string_view name, std::string_view value) {
  out += ',';
  foundation::appendJSONString(out, name);
  out += ':';
  foundation::appendJSONString(out, value);
}

std::string JsonLine(RecordingId id, const Recording& r) {
  std::string out = "{\"id\":" + std::to_string(id);
  AppendJsonField(out, "title", r.title);
  AppendJsonField(out, "artist", r.artist);
  AppendJsonField(out, "album", r.subtitle);
  AppendJsonField(out, "isrc", r.isrc);
  out += ",\"genres\":[";
  for (std::size_t i = 0; i < r.genres.size(); ++i) {
    if (i > 0) out += ',';
    foundation::appendJSONString(out, r.genres[i]);
  }
  out += ']';
  char number[64];
  std::snprintf(number, sizeof number, ",\"duration_s\":%.3f", r.duration_s);
  out += number;
  AppendJsonField(out, "artwork_url", r.artwork_url);
  AppendJsonField(out, "path", r.source_path);
  AppendJsonField(out, "content_hash", r.content_hash);
  out += ",\"landmark_count\":" + std::to_string(r.landmark_count) + "}\n";
  return out;
}

int Failed(const foundation::NSError& error) {
  foundation::writeToStandardError("plim-catalog: " + error.description() + "\n");
  return 1;
}

std::optional<RecordingId> ParseId(const std::string& text) {
  RecordingId id = 0;
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), id);
  if (error != std::errc() || end != text.data() + text.size() || id == 0) return std::nullopt;
  return id;
}

}  // namespace

int RunListCommand(const std::string& catalog_directory, bool json) {
  try {
    auto catalog = OpenForInspection(catalog_directory, Catalog::Mode::kReadOnly);
    Catalog::Reader reader = catalog->NewReader();
    std::string out;
    reader.ForEachRecording([&](RecordingId id, const Recording& r) {
      if (json) {
        out += JsonLine(id, r);
      } else {
        out += std::to_string(id) + '\t' + Cell(r.artist) + '\t' + Cell(r.title) + '\t' +
               FormatDuration(r.duration_s) + '\t' + Cell(r.source_path) + '\n';
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

int RunShowCommand(const std::string& catalog_directory, const std::string& id_text) {
  try {
    auto catalog = OpenForInspection(catalog_directory, Catalog::Mode::kReadOnly);
    Catalog::Reader reader = catalog->NewReader();
    std::optional<RecordingId> id = ParseId(id_text);
    if (!id) id = reader.FindBySourcePath(NormalSourcePath(id_text));
    std::optional<Recording> r = id ? reader.GetRecording(*id) : std::nullopt;
    if (!r) {
      foundation::writeToStandardError("plim-catalog: There is no recording " +
                                       foundation::QuotedText(id_text) + " in the catalog.\n");
      return 1;
    }
    std::string genres;
    for (const std::string& genre : r->genres) genres += (genres.empty() ? "" : "; ") + genre;
    char duration[64];
    std::snprintf(duration, sizeof duration, "%.3f s (%s)", r->duration_s,
                  FormatDuration(r->duration_s).c_str());
    std::string out = "id: " + std::to_string(*id) + "\ntitle: " + r->title +
                      "\nartist: " + r->artist + "\nalbum: " + r->subtitle + "\nisrc: " + r->isrc +
                      "\ngenres: " + genres + "\nduration: " + duration +
                      "\nartwork: " + r->artwork_url + "\npath: " + r->source_path +
                      "\nsize: " + std::to_string(r->source_size_bytes) +
                      " bytes\ncontent hash: " + r->content_hash +
                      "\nlandmarks: " + std::to_string(r->landmark_count) + "\n";
    foundation::writeToStandardOutput(out);
    return 0;
  } catch (const foundation::NSError& error) {
    return Failed(error);
  }
}

int RunStatsCommand(const std::string& catalog_directory) {
  try {
    auto catalog = OpenForInspection(catalog_directory, Catalog::Mode::kReadOnly);
    catalog::DiskUsage usage = catalog->MeasureDiskUsage();
    Catalog::Reader reader = catalog->NewReader();
    double hours = reader.TotalDurationS() / 3600;
    std::uint64_t bytes = usage.database_used_bytes + usage.artwork_bytes;
    char text[512];
    std::snprintf(
        text, sizeof text,
        "catalog: %s\nrecordings: %llu\nhours of audio: %.2f\nlandmarks: %llu\n"
        "size on disk: %.1f MB (database %.1f MB in use, artwork %.1f MB)\n"
        "bytes per hour of audio: %.0f\nfingerprint version: %u\n",
        catalog->directory().c_str(), static_cast<unsigned long long>(reader.RecordingCount()),
        hours, static_cast<unsigned long long>(reader.LandmarkCount()),
        static_cast<double>(usage.database_file_bytes + usage.artwork_bytes) / 1e6,
        static_cast<double>(usage.database_used_bytes) / 1e6,
        static_cast<double>(usage.artwork_bytes) / 1e6,
        hours > 0 ? static_cast<double>(bytes) / hours : 0.0, catalog->fingerprint_version());
    foundation::writeToStandardOutput(text);
    return 0;
  } catch (const foundation::NSError& error) {
    return Failed(error);
  }
}

int RunRemoveCommand(const std::string& catalog_directory,
                     const std::vector<std::string>& targets) {
  int status = 0;
  try {
    auto catalog = OpenForInspection(catalog_directory, Catalog::Mode::kReadWrite);
    for (const std::string& target : targets) {
      std::optional<RecordingId> id = ParseId(target);
      if (!id) id = catalog->NewReader().FindBySourcePath(NormalSourcePath(target));
      std::optional<Recording> removed = id ? catalog->Remove(*id) : std::nullopt;
      if (!removed) {
        foundation::writeToStandardError("plim-catalog: There is no recording " +
                                         foundation::QuotedText(target) + " in the catalog.\n");
        status = 1;
        continue;
      }
      foundation::writeToStandardOutput("removed " + std::to_string(*id) + '\t' +
                                        Cell(removed->artist) + '\t' + Cell(removed->title) + '\t' +
                                        Cell(removed->source_path) + '\n');
    }
  } catch (const foundation::NSError& error) {
    return Failed(error);
  }
  return status;
}

}  // namespace plim
