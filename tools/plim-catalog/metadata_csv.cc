#include "tools/plim-catalog/metadata_csv.h"

#include <cctype>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform/foundation/ns_error.h"
#include "platform/foundation/quoted_text.h"
#include "tools/plim-catalog/file_discovery.h"

namespace plim {
namespace {

namespace fs = std::filesystem;

[[noreturn]] void Fail(const std::string& csv_path, int line, const std::string& what) {
  throw foundation::NSError(kCatalogToolErrorDomain, 1,
                            "The metadata file " + foundation::QuotedText(csv_path) + ", line " +
                                std::to_string(line) + ": " + what);
}

// Splits RFC 4180 text into records of fields. Accepts LF as well as CRLF
// line ends, and a last line without one. Records hold the line each began on.
struct CsvRecord {
  int line = 0;
  std::vector<std::string> fields;
};

std::vector<CsvRecord> SplitRecords(std::string_view text, const std::string& csv_path) {
  std::vector<CsvRecord> records;
  CsvRecord record{1, {}};
  std::string field;
  int line = 1;
  std::size_t i = 0;
  if (text.substr(0, 3) == "\xEF\xBB\xBF") i = 3;  // a byte-order mark, as spreadsheets write
  bool record_open = false;
  auto end_record = [&] {
    record.fields.push_back(std::move(field));
    field.clear();
    bool blank = record.fields.size() == 1 && record.fields[0].empty();
    if (!blank) records.push_back(std::move(record));
    record = CsvRecord{line, {}};
    record_open = false;
  };
  while (i < text.size()) {
    char c = text[i];
    if (c == '"' && field.empty()) {
      int start_line = line;
      ++i;
      for (;;) {
        if (i >= text.size()) Fail(csv_path, start_line, "a quoted field is never closed");
        if (text[i] == '"') {
          if (i + 1 < text.size() && text[i + 1] == '"') {
            field.push_back('"');
            i += 2;
            continue;
          }
          ++i;
          break;
        }
        if (text[i] == '\n') ++line;
        field.push_back(text[i++]);
      }
      record_open = true;
      if (i < text.size() && text[i] != ',' && text[i] != '\n' && text[i] != '\r') {
        Fail(csv_path, line, "text after a closing quote");
      }
      continue;
    }
    if (c == ',') {
      record.fields.push_back(std::move(field));
      field.clear();
      record_open = true;
      ++i;
    } else if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') {
      ++line;
      i += 2;
      end_record();
    } else if (c == '\n') {
      ++line;
      ++i;
      end_record();
    } else {
      field.push_back(c);
      record_open = true;
      ++i;
    }
  }
  if (record_open || !field.empty()) end_record();
  return records;
}

std::string Absolute(const std::string& path, const fs::path& base) {
  fs::path p(path);
  if (p.is_relative()) p = base / p;
  return p.lexically_normal().string();
}

bool LooksLikeUrl(std::string_view text) {
  std::size_t colon = text.find("://");
  if (colon == std::string_view::npos || colon == 0) return false;
  for (char c : text.substr(0, colon)) {
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != '+' && c != '-' && c != '.')
      return false;
  }
  return true;
}

}  // namespace

MetadataTable ParseMetadataCsv(std::string_view text, const std::string& csv_path) {
  std::vector<CsvRecord> records = SplitRecords(text, csv_path);
  if (records.empty()) Fail(csv_path, 1, "there is no header row");
  enum Column { kPath, kArtist, kTitle, kArtwork, kAlbum, kIsrc, kGenre };
  static const std::map<std::string, Column> kColumns = {
      {"path", kPath},   {"artist", kArtist}, {"title", kTitle}, {"artwork", kArtwork},
      {"album", kAlbum}, {"isrc", kIsrc},     {"genre", kGenre}};
  std::vector<Column> columns;
  bool has_path = false;
  for (const std::string& name : records[0].fields) {
    std::string key;
    for (char c : name) {
      if (c != ' ') key.push_back(static_cast<char>(std::tolower(static_cast<unsigned char>(c))));
    }
    auto it = kColumns.find(key);
    if (it == kColumns.end()) {
      Fail(csv_path, records[0].line,
           "unknown column " + foundation::QuotedText(name) +
               " (the columns are path, artist, title, artwork, album, isrc, genre)");
    }
    columns.push_back(it->second);
    has_path = has_path || it->second == kPath;
  }
  if (!has_path) Fail(csv_path, records[0].line, "the header row has no path column");

  const fs::path base = fs::absolute(fs::path(csv_path)).parent_path();
  MetadataTable table;
  for (std::size_t r = 1; r < records.size(); ++r) {
    const CsvRecord& record = records[r];
    if (record.fields.size() != columns.size()) {
      Fail(csv_path, record.line,
           "expected " + std::to_string(columns.size()) + " fields, found " +
               std::to_string(record.fields.size()));
    }
    std::string path;
    MetadataRow row;
    row.line = record.line;
    for (std::size_t c = 0; c < columns.size(); ++c) {
      const std::string& cell = record.fields[c];
      if (cell.empty()) continue;
      switch (columns[c]) {
        case kPath:
          path = Absolute(cell, base);
          break;
        case kArtist:
          row.artist = cell;
          break;
        case kTitle:
          row.title = cell;
          break;
        case kArtwork:
          // A file of metadata may come from anywhere: its relative paths
          // reach no further than its own folder.
          if (!LooksLikeUrl(cell) && fs::path(cell).is_relative() &&
              *fs::path(cell).lexically_normal().begin() == "..") {
            Fail(csv_path, record.line,
                 "the artwork path " + foundation::QuotedText(cell) +
                     " leaves the folder of the metadata file: give it as an absolute path");
          }
          row.artwork = LooksLikeUrl(cell) ? cell : Absolute(cell, base);
          break;
        case kAlbum:
          row.album = cell;
          break;
        case kIsrc:
          row.isrc = cell;
          break;
        case kGenre: {
          std::vector<std::string> genres;
          std::stringstream parts(cell);
          for (std::string genre; std::getline(parts, genre, ';');) {
            std::size_t first = genre.find_first_not_of(' '), last = genre.find_last_not_of(' ');
            if (first != std::string::npos) genres.push_back(genre.substr(first, last - first + 1));
          }
          row.genres = std::move(genres);
          break;
        }
      }
    }
    if (path.empty()) Fail(csv_path, record.line, "the path is empty");
    // A later row for the same file wins.
    auto [it, inserted] = table.rows.try_emplace(path, std::move(row));
    if (inserted) {
      table.paths.push_back(path);
    } else {
      it->second = std::move(row);
    }
  }
  return table;
}

MetadataTable ReadMetadataCsv(const std::string& csv_path) {
  std::ifstream file(csv_path, std::ios::binary);
  std::stringstream text;
  text << file.rdbuf();
  if (!file) {
    throw foundation::NSError(
        kCatalogToolErrorDomain, 1,
        "The metadata file " + foundation::QuotedText(csv_path) + " could not be read");
  }
  return ParseMetadataCsv(text.str(), csv_path);
}

MetadataRow MetadataFor(const std::string& path, const MetadataOptions& options,
                        const MetadataTable* table) {
  MetadataRow row;
  if (table != nullptr) {
    if (auto it = table->rows.find(path); it != table->rows.end()) row = it->second;
  }
  // The command line's options apply to every file and win over the table.
  if (options.artist) row.artist = options.artist;
  if (options.title) row.title = options.title;
  if (options.album) row.album = options.album;
  if (options.artwork) {
    row.artwork = options.artwork->find("://") == std::string::npos
                      ? NormalSourcePath(*options.artwork)
                      : *options.artwork;
  }
  return row;
}

}  // namespace plim
