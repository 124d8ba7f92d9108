// plim-catalog: fills and keeps the catalog of reference recordings that
// plim-shazamkit answers from.

#include <CLI/CLI.hpp>
#include <optional>
#include <string>
#include <vector>

#include "platform/catalog/catalog_location.h"
#include "platform/foundation/ns_error.h"
#include "platform/foundation/standard_stream.h"
#include "tools/plim-catalog/add_command.h"
#include "tools/plim-catalog/inspect_commands.h"
#include "tools/plim-catalog/match_command.h"

int main(int argc, char** argv) {
  CLI::App app(
      "Fills and keeps the catalog of reference recordings that plim-shazamkit answers from.",
      "plim-catalog");
  app.require_subcommand(1);
  std::string catalog_directory;
  app.add_option(
         "--catalog", catalog_directory,
         "The catalog's directory (default: $PLIM_CATALOG, else $XDG_DATA_HOME/plim/catalog, "
         "else ~/.local/share/plim/catalog)")
      ->type_name("DIR");

  plim::AddCommandOptions add;
  CLI::App* add_verb = app.add_subcommand("add",
                                          "Add audio files, and the audio files in folders, to the "
                                          "catalog. Files already there are skipped.");
  add_verb->add_option("paths", add.paths, "Audio files and folders (searched recursively)")
      ->type_name("PATH");
  add_verb->add_option("--artist", add.artist,
                       "The artist of every file added, in place of its tags");
  add_verb->add_option("--title", add.title, "The title of every file added, in place of its tags");
  add_verb->add_option("--album", add.album, "The album of every file added, in place of its tags");
  add_verb
      ->add_option("--artwork", add.artwork,
                   "Cover art for every file added: a URL, or an image file")
      ->type_name("URL");
  add_verb
      ->add_option(
          "--metadata", add.metadata_csv,
          "A CSV file with a header row of path,artist,title,artwork,album,isrc,genre (any order); "
          "without PATHs, its files are the ones added")
      ->type_name("FILE");
  add_verb->add_option("-j,--jobs", add.jobs, "Files decoded at once (default: one per core)")
      ->check(CLI::Range(1u, 1024u));

  bool list_json = false;
  CLI::App* list_verb =
      app.add_subcommand("list", "List the recordings: id, artist, title, duration, path.");
  list_verb->add_flag("--json", list_json, "One JSON object per line, with every field");

  std::string show_id;
  CLI::App* show_verb = app.add_subcommand("show", "Show every field of one recording.");
  show_verb->add_option("id", show_id, "The recording's id, or the path it was added from")
      ->required()
      ->type_name("ID");

  std::vector<std::string> remove_targets;
  CLI::App* remove_verb =
      app.add_subcommand("remove", "Remove recordings, by id or by the path they were added from.");
  remove_verb->add_option("targets", remove_targets, "Ids or paths (the files may be gone)")
      ->required()
      ->type_name("ID|PATH");

  CLI::App* stats_verb = app.add_subcommand(
      "stats", "Show the catalog's size: recordings, hours, landmarks, bytes on disk.");

  std::string match_path;
  bool match_json = false;
  CLI::App* match_verb = app.add_subcommand(
      "match", "Match an audio clip against the catalog and show the best candidates.");
  match_verb->add_option("file", match_path, "The audio file to identify")
      ->required()
      ->type_name("FILE");
  match_verb->add_flag("--json", match_json, "One JSON object per candidate");

  try {
    app.parse(argc, argv);
    if (add_verb->parsed() && add.paths.empty() && !add.metadata_csv) {
      throw CLI::RequiredError("add needs files or folders to add, or --metadata");
    }
  } catch (const CLI::ParseError& error) {
    int status = app.exit(error);
    return status == 0 ? 0 : 2;
  }

  if (catalog_directory.empty()) {
    try {
      catalog_directory = plim::catalog::DefaultCatalogDirectory().string();
    } catch (const plim::foundation::NSError& error) {
      plim::foundation::writeToStandardError("plim-catalog: " + error.description() + "\n");
      return 1;
    }
  }
  if (add_verb->parsed()) {
    add.catalog_directory = catalog_directory;
    return plim::RunAddCommand(add);
  }
  if (list_verb->parsed()) return plim::RunListCommand(catalog_directory, list_json);
  if (show_verb->parsed()) return plim::RunShowCommand(catalog_directory, show_id);
  if (remove_verb->parsed()) return plim::RunRemoveCommand(catalog_directory, remove_targets);
  if (stats_verb->parsed()) return plim::RunStatsCommand(catalog_directory);
  if (match_verb->parsed()) return plim::RunMatchCommand(catalog_directory, match_path, match_json);
  return 2;
}
