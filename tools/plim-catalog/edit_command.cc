#include "tools/plim-catalog/edit_command.h"

#include "platform/catalog/catalog_store.h"
#include "platform/catalog/picture_file.h"
#include "platform/foundation/ns_error.h"
#include "platform/foundation/quoted_text.h"
#include "platform/foundation/standard_stream.h"
#include "tools/plim-catalog/file_discovery.h"
#include "tools/plim-catalog/inspect_commands.h"
#include "tools/plim-catalog/metadata_csv.h"
#include "tools/plim-catalog/store_warnings.h"

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

// `recording` as `change` would leave it, for a dry run.
catalog::Recording Preview(catalog::Recording recording, const MetadataChange& change) {
  if (change.title) recording.title = *change.title;
  if (change.artist) recording.artist = *change.artist;
  if (change.album) recording.subtitle = *change.album;
  if (change.isrc) recording.isrc = *change.isrc;
  if (change.genres) recording.genres = *change.genres;
  if (change.artwork_url) recording.artwork_url = *change.artwork_url;
  return recording;
}

struct PlannedEdit {
  catalog::RecordingId id = 0;
  catalog::Recording known;
  MetadataChange change;
};

}  // namespace

int RunEditCommand(const GlobalOptions& global, const EditCommandOptions& options) {
  if (options.target.empty() && !options.metadata.metadata_csv) {
    Say("edit needs a recording (an id or a path), or --metadata; see plim-catalog help edit");
    return kExitUsage;
  }
  if (!options.target.empty() && options.metadata.metadata_csv) {
    Say("edit takes a recording or --metadata, not both: the CSV file names its recordings "
        "by path; see plim-catalog help edit");
    return kExitUsage;
  }
  try {
    std::optional<MetadataTable> table;
    if (options.metadata.metadata_csv) table = ReadMetadataCsv(*options.metadata.metadata_csv);
    const std::vector<std::string> targets =
        table ? table->paths : std::vector<std::string>{options.target};
    auto catalog = catalog::OpenCatalogStore(
        global.catalog_directory,
        options.dry_run ? CatalogStore::Mode::kReadOnly : CatalogStore::Mode::kReadWrite);
    WriteStoreWarnings(*catalog);

    // Every row is checked before any is applied, so that one wrong row
    // leaves the catalog as it was and every fault is named at once.
    std::vector<PlannedEdit> plan;
    std::vector<std::string> faults;
    for (const std::string& target : targets) {
      const MetadataRow* csv_row = table ? &table->rows.at(target) : nullptr;
      auto fault = [&](const std::string& what) {
        faults.push_back(csv_row == nullptr
                             ? what
                             : "The metadata file " +
                                   foundation::QuotedText(*options.metadata.metadata_csv) +
                                   ", line " + std::to_string(csv_row->line) + ": " + what);
      };
      std::unique_ptr<catalog::CatalogReader> reader = catalog->NewCatalogReader();
      std::optional<catalog::RecordingId> id = FindRecording(*reader, target);
      std::optional<catalog::Recording> known = id ? reader->GetRecording(*id) : std::nullopt;
      if (!known) {
        fault("There is no recording " + foundation::QuotedText(target) + " in the catalog.");
        continue;
      }
      try {
        MetadataChange change = ChangeFor(
            MetadataFor(known->source_path, options.metadata, table ? &*table : nullptr), options);
        if (!ChangesAnything(change)) {
          if (csv_row == nullptr) {
            Say("nothing to change for " + foundation::QuotedText(target) +
                ": give --artist, --title, --album, --artwork, --isrc or --genre");
            return kExitUsage;
          }
          fault("nothing to change for " + foundation::QuotedText(target) +
                ": every cell of the row is empty");
          continue;
        }
        plan.push_back({*id, std::move(*known), std::move(change)});
      } catch (const foundation::NSError& error) {
        fault(error.description());
      }
    }
    if (!faults.empty()) {
      for (const std::string& fault : faults) Say(fault);
      if (table) Say("nothing was changed: correct the file and run the same edit again");
      return kExitFailure;
    }

    // All rows in one transaction, so that a failure halfway (a full disk)
    // leaves the catalog as it was too.
    std::vector<std::optional<catalog::Recording>> results;
    if (options.dry_run) {
      for (const PlannedEdit& edit : plan) results.push_back(Preview(edit.known, edit.change));
    } else {
      std::vector<CatalogStore::Correction> corrections;
      for (const PlannedEdit& edit : plan) corrections.push_back({edit.id, edit.change});
      results = catalog->CorrectAll(corrections);
    }
    int status = kExitSuccess;
    std::string out;
    for (std::size_t i = 0; i < plan.size(); ++i) {
      const PlannedEdit& edit = plan[i];
      const std::optional<catalog::Recording>& now = results[i];
      if (!now) {  // removed by another writer since the check
        Say("There is no recording " + std::to_string(edit.id) + " in the catalog.");
        status = kExitFailure;
      } else if (global.json) {
        out += RecordingJson(edit.id, *now);
      } else if (!global.quiet || options.dry_run) {
        out += std::string(options.dry_run ? "would edit " : "edited ") + std::to_string(edit.id) +
               '\t' + TableCell(now->artist) + '\t' + TableCell(now->title) + '\t' +
               TableCell(now->source_path) + '\n';
      }
    }
    foundation::writeToStandardOutput(out);
    return status;
  } catch (const foundation::NSError& error) {
    Say(error.description());
    return kExitFailure;
  }
}

}  // namespace plim
