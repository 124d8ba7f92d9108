#include "tools/plim-catalog/edit_command.h"

#include "platform/catalog/catalog_store.h"
#include "platform/catalog/picture_file.h"
#include "platform/foundation/ns_error.h"
#include "platform/foundation/quoted_text.h"
#include "platform/foundation/standard_stream.h"
#include "tools/plim-catalog/file_discovery.h"
#include "tools/plim-catalog/inspect_commands.h"
#include "tools/plim-catalog/metadata_csv.h"

namespace plim {
namespace {

using catalog::CatalogStore;
using catalog::MetadataChange;

void Say(const std::string& message) {
  foundation::writeToStandardError("plim-catalog: " + message + "\n");
}

// The change `row` and the options asked for; throws NSError when an
// artwork file can't be read.
MetadataChange ChangeFor(const MetadataRow& row, const EditCommandOptions& options) {
  MetadataChange change;
  change.title = row.title;
  change.artist = row.artist;
  change.album = row.album;
  change.isrc = options.isrc ? options.isrc : row.isrc;
  if (!options.genres.empty()) {
    change.genres.emplace();
    for (const std::string& genre : options.genres) {
      if (!genre.empty()) change.genres->push_back(genre);
    }
  } else {
    change.genres = row.genres;
  }
  if (row.artwork && row.artwork->find("://") != std::string::npos) {
    change.artwork_url = row.artwork;
  } else if (row.artwork) {
    change.artwork = catalog::ReadPictureFile(*row.artwork, catalog::PictureLinks::kFollow);
  }
  return change;
}

bool ChangesAnything(const MetadataChange& c) {
  return c.title || c.artist || c.album || c.isrc || c.genres || c.artwork_url || c.artwork;
}

}  // namespace

int RunEditCommand(const GlobalOptions& global, const EditCommandOptions& options) {
  if (options.target.empty() && !options.metadata.metadata_csv) {
    Say("edit needs a recording (an id or a path), or --metadata; see plim-catalog help edit");
    return kExitUsage;
  }
  try {
    std::optional<MetadataTable> table;
    if (options.metadata.metadata_csv) table = ReadMetadataCsv(*options.metadata.metadata_csv);
    std::vector<std::string> targets;
    if (!options.target.empty()) {
      targets.push_back(options.target);
    } else {
      targets = table->paths;
    }
    auto catalog = catalog::OpenCatalogStore(global.catalog_directory,
                                             catalog::CatalogStore::Mode::kReadWrite);
    int status = 0;
    std::string out;
    for (const std::string& target : targets) {
      std::optional<catalog::RecordingId> id = FindRecording(*catalog->NewCatalogReader(), target);
      std::optional<catalog::Recording> known =
          id ? catalog->NewCatalogReader()->GetRecording(*id) : std::nullopt;
      if (!known) {
        Say("There is no recording " + foundation::QuotedText(target) + " in the catalog.");
        status = 1;
        continue;
      }
      MetadataChange change = ChangeFor(
          MetadataFor(known->source_path, options.metadata, table ? &*table : nullptr), options);
      if (!ChangesAnything(change)) {
        Say("nothing to change for " + foundation::QuotedText(target) +
            ": give --artist, --title, --album, --artwork, --isrc or --genre");
        return kExitUsage;
      }
      std::optional<catalog::Recording> now = catalog->Correct(*id, change);
      if (!now) {
        Say("There is no recording " + foundation::QuotedText(target) + " in the catalog.");
        status = 1;
      } else if (global.json) {
        out += RecordingJson(*id, *now);
      } else if (!global.quiet) {
        out += "edited " + std::to_string(*id) + '\t' + TableCell(now->artist) + '\t' +
               TableCell(now->title) + '\t' + TableCell(now->source_path) + '\n';
      }
    }
    foundation::writeToStandardOutput(out);
    return status;
  } catch (const foundation::NSError& error) {
    Say(error.description());
    return 1;
  }
}

}  // namespace plim
