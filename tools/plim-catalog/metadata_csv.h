// Per-file metadata for bulk loads: a CSV file with a header row naming the
// columns path, artist, title, artwork, album, isrc, genre (any order, any
// subset that includes path), quoted as RFC 4180 says.

#ifndef PLIM_TOOLS_PLIM_CATALOG_METADATA_CSV_H_
#define PLIM_TOOLS_PLIM_CATALOG_METADATA_CSV_H_

#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace plim {

// One row: a field is nullopt when its column is absent or its cell empty,
// so that it leaves the file's own tag in place.
struct MetadataRow {
  std::optional<std::string> artist;
  std::optional<std::string> title;
  std::optional<std::string> artwork;  // a URL, or a path to an image file
  std::optional<std::string> album;
  std::optional<std::string> isrc;
  std::optional<std::vector<std::string>> genres;  // the cell split at ';'
  int line = 0;  // the line of the CSV file the row began on; 0 when not from one
};

// Rows keyed by absolute, lexically normal path (a relative path in the file
// is taken relative to the file's own folder). An artwork cell that is a
// relative path is made absolute the same way, and may not climb out of that
// folder with "..". A plain value.
struct MetadataTable {
  std::map<std::string, MetadataRow> rows;
  std::vector<std::string> paths;  // in file order, without repeats
};

// Parses CSV `text` read from `csv_path`. Throws foundation::NSError (domain
// "PLIMCatalogTool", code 1) naming the file and line when the text is not
// well-formed CSV, has no path column, names an unknown column, or a row has
// the wrong number of fields.
MetadataTable ParseMetadataCsv(std::string_view text, const std::string& csv_path);

// Reads and parses the file at `csv_path`. Throws as ParseMetadataCsv, and
// when the file can't be read.
MetadataTable ReadMetadataCsv(const std::string& csv_path);

// Metadata given on the command line of add or edit.
struct MetadataOptions {
  std::optional<std::string> artist;
  std::optional<std::string> title;
  std::optional<std::string> album;
  std::optional<std::string> artwork;  // a URL, or a path to an image file
  std::optional<std::string> metadata_csv;
};

// What the user gave for the file at `path` (absolute, normal): its row of
// `table` (may be null), with the command line's `options` over it. A
// relative artwork path is made absolute.
MetadataRow MetadataFor(const std::string& path, const MetadataOptions& options,
                        const MetadataTable* table);

// The error domain of the tool's own failures.
inline constexpr char kCatalogToolErrorDomain[] = "PLIMCatalogTool";

}  // namespace plim

#endif  // PLIM_TOOLS_PLIM_CATALOG_METADATA_CSV_H_
