// plim-catalog: fills and keeps the catalog of reference recordings that
// plim-shazamkit answers from.

#include <memory>
#include <string>
#include <vector>

#include "platform/foundation/standard_stream.h"
#include "tools/plim-catalog/add_command.h"
#include "tools/plim-catalog/command_line.h"
#include "tools/plim-catalog/copy_command.h"
#include "tools/plim-catalog/duplicates_command.h"
#include "tools/plim-catalog/edit_command.h"
#include "tools/plim-catalog/inspect_commands.h"
#include "tools/plim-catalog/listen_command.h"
#include "tools/plim-catalog/match_command.h"
#include "tools/plim-catalog/rebuild_command.h"
#include "tools/plim-catalog/usage_errors.h"
#include "tools/plim-catalog/verify_command.h"

namespace plim {
namespace {

// Options that override metadata, shared by add and edit.
void DeclareMetadataOptions(CLI::App& command, MetadataOptions& metadata, const char* which) {
  const std::string of = std::string(" of ") + which;
  command.add_option("--artist", metadata.artist, "The artist" + of);
  command.add_option("--title", metadata.title, "The title" + of);
  command.add_option("--album", metadata.album, "The album" + of);
  command.add_option("--artwork", metadata.artwork, "Cover art" + of + ": a URL, or an image file")
      ->type_name("URL|FILE");
  command
      .add_option("--metadata", metadata.metadata_csv,
                  "A CSV file with a header row of path,artist,title,artwork,album,isrc,genre "
                  "(any order)")
      ->type_name("FILE");
}

VerbRun DeclareAdd(CLI::App& verb) {
  auto options = std::make_shared<AddCommandOptions>();
  verb.add_option("paths", options->paths, "Audio files and folders (searched recursively)")
      ->type_name("PATH");
  DeclareMetadataOptions(verb, options->metadata, "every file added, in place of its tags");
  verb.add_option("-j,--jobs", options->jobs, "Files decoded at once (default: one per core)")
      ->check(WholeNumberFrom(1, 1024));
  verb.add_flag("-n,--dry-run", options->dry_run,
                "Say what would be added, updated or skipped, and change nothing");
  verb.add_flag("--update-tags", options->update_tags,
                "Read the tags again of files whose tags changed since they were added, and "
                "correct their recordings in place");
  verb.add_flag("--allow-duplicates", options->allow_duplicates,
                "Add a file holding the same music as a recording already in the catalog as a "
                "recording of its own, instead of recording it as another copy");
  return [options](const GlobalOptions& global) {
    if (options->paths.empty() && !options->metadata.metadata_csv) {
      foundation::writeToStandardError(
          "plim-catalog: add needs files or folders to add, or --metadata; see plim-catalog "
          "help add\n");
      return kExitUsage;
    }
    return RunAddCommand(global, *options);
  };
}

VerbRun DeclareList(CLI::App& verb) {
  auto filter = std::make_shared<ListFilter>();
  verb.add_option("--artist", filter->artist, "Only recordings whose artist contains TEXT")
      ->type_name("TEXT");
  verb.add_option("--title", filter->title, "Only recordings whose title contains TEXT")
      ->type_name("TEXT");
  verb.add_option("--album", filter->album, "Only recordings whose album contains TEXT")
      ->type_name("TEXT");
  verb.add_option("--under", filter->under, "Only recordings added from files under FOLDER")
      ->type_name("FOLDER");
  return [filter](const GlobalOptions& global) { return RunListCommand(global, *filter); };
}

VerbRun DeclareShow(CLI::App& verb) {
  auto id = std::make_shared<std::string>();
  verb.add_option("id", *id, "The recording's id, or the path it was added from")
      ->required()
      ->type_name("ID|PATH");
  return [id](const GlobalOptions& global) { return RunShowCommand(global, *id); };
}

VerbRun DeclareEdit(CLI::App& verb) {
  auto options = std::make_shared<EditCommandOptions>();
  verb.add_option("target", options->target, "The recording's id, or the path it was added from")
      ->type_name("ID|PATH");
  DeclareMetadataOptions(verb, options->metadata, "the recording");
  verb.add_option("--isrc", options->isrc, "The recording's ISRC");
  verb.add_option("--genre", options->genres, "A genre; repeat for several")->type_name("GENRE");
  verb.add_flag("-n,--dry-run", options->dry_run,
                "Say what each recording would hold, and change nothing");
  return [options](const GlobalOptions& global) { return RunEditCommand(global, *options); };
}

VerbRun DeclareRemove(CLI::App& verb) {
  auto targets = std::make_shared<std::vector<std::string>>();
  auto dry_run = std::make_shared<bool>(false);
  verb.add_option("targets", *targets, "Ids, paths (the files may be gone) or folders")
      ->required()
      ->type_name("ID|PATH");
  verb.add_flag("-n,--dry-run", *dry_run, "Name the recordings that would go, and change nothing");
  return [targets, dry_run](const GlobalOptions& global) {
    return RunRemoveCommand(global, *targets, *dry_run);
  };
}

VerbRun DeclarePrune(CLI::App& verb) {
  auto dry_run = std::make_shared<bool>(false);
  verb.add_flag("-n,--dry-run", *dry_run, "Name the recordings that would go, and change nothing");
  return [dry_run](const GlobalOptions& global) { return RunPruneCommand(global, *dry_run); };
}

VerbRun DeclareClean(CLI::App& verb) {
  auto min_age_s = std::make_shared<double>(600);
  verb.add_option("--older-than", *min_age_s,
                  "Only leftovers of writers that started this long ago (default 600)")
      ->type_name("SECONDS")
      ->check(SecondsOrMore());
  return [min_age_s](const GlobalOptions& global) { return RunCleanCommand(global, *min_age_s); };
}

VerbRun DeclareStats(CLI::App&) {
  return [](const GlobalOptions& g) { return RunStatsCommand(g); };
}

VerbRun DeclareMatch(CLI::App& verb) {
  auto options = std::make_shared<MatchCommandOptions>();
  verb.add_option("files", options->paths,
                  "Audio files, folders (searched recursively), or - for paths on standard "
                  "input, one a line")
      ->required()
      ->type_name("FILE");
  verb.add_option("-j,--jobs", options->jobs, "Files matched at once (default: one per core)")
      ->check(WholeNumberFrom(1, 1024));
  verb.add_flag("--timeline", options->timeline,
                "List every catalog recording heard along each file, with its start and end");
  verb.add_flag("--candidates", options->candidates,
                "Show each file's best candidates, with their scores, offsets and speed skews, "
                "besides its answer")
      ->excludes("--timeline");
  return [options](const GlobalOptions& global) { return RunMatchCommand(global, *options); };
}

VerbRun DeclareListen(CLI::App& verb) {
  auto options = std::make_shared<ListenCommandOptions>();
  verb.add_option("source", options->source,
                  "A stream's URL (http, https, Icecast, HLS), - for audio on standard input, or a "
                  "capture device (alsa:default, pulse:default)")
      ->required()
      ->type_name("SOURCE");
  verb.add_flag("--once", options->once,
                "Stop when the source is lost (exit status 1) instead of reconnecting");
  verb.add_option("--stall-timeout", options->stall_timeout_s,
                  "Seconds without data after which the source counts as lost (default 15)")
      ->type_name("SECONDS")
      ->check(WholeNumberFrom(1, 3600));
  return [options](const GlobalOptions& global) { return RunListenCommand(global, *options); };
}

VerbRun DeclareRebuild(CLI::App& verb) {
  auto options = std::make_shared<RebuildCommandOptions>();
  verb.add_option("-j,--jobs", options->jobs, "Files decoded at once (default: one per core)")
      ->check(WholeNumberFrom(1, 1024));
  verb.add_flag("--repair", options->repair,
                "Rebuild an up-to-date catalog too, leaving out the recordings whose records are "
                "damaged (after verify found damage)");
  return [options](const GlobalOptions& global) {
    options->catalog_directory = global.catalog_directory;
    return RunRebuildCommand(*options);
  };
}

VerbRun DeclareCopy(CLI::App& verb) {
  auto options = std::make_shared<CopyCommandOptions>();
  verb.add_option("source", options->source, "The catalog to copy: a directory or redis://...")
      ->required()
      ->type_name("SRC");
  verb.add_option("destination", options->destination, "The catalog to fill")
      ->required()
      ->type_name("DST");
  verb.add_option("-j,--jobs", options->jobs, "Files decoded at once (default: one per core)")
      ->check(WholeNumberFrom(1, 1024));
  return [options](const GlobalOptions& global) { return RunCopyCommand(global, *options); };
}

}  // namespace
}  // namespace plim

int main(int argc, char** argv) {
  using plim::VerbDefinition;
  const std::vector<VerbDefinition> verbs = {
      {"add", "Add audio files, and the audio files in folders. Files already there are skipped.",
       plim::DeclareAdd, false},
      {"list", "List the recordings: id, artist, title, duration, path.", plim::DeclareList},
      {"show", "Show every field of one recording.", plim::DeclareShow},
      {"edit", "Correct a recording's metadata in place, or many from a CSV file; ids stay.",
       plim::DeclareEdit},
      {"remove",
       "Remove recordings: by id, by the path they were added from, or all under a folder.",
       plim::DeclareRemove},
      {"prune", "Remove the recordings whose files are gone.", plim::DeclarePrune},
      {"clean", "Remove what writers killed halfway left in a Redis catalog (never visible).",
       plim::DeclareClean, false},
      {"stats", "Show the catalog's size: recordings, hours, landmarks, bytes on disk.",
       plim::DeclareStats},
      {"match",
       "Match files, one answer each (and their best candidates with --candidates), or the "
       "timeline of a long recording.",
       plim::DeclareMatch},
      {"listen",
       "Name the catalog recordings heard on a live stream, standard input or a sound card as "
       "they play, "
       "one line as each starts and ends.",
       plim::DeclareListen},
      {"rebuild",
       "Bring a catalog built with an older fingerprint up to date: decode every recording's "
       "file again, keeping ids, metadata and artwork.",
       plim::DeclareRebuild, false},
      {"duplicates",
       "List the groups of recordings that hold the same music end to end, in any format.",
       [](CLI::App&) -> plim::VerbRun { return plim::RunDuplicatesCommand; }},
      {"verify", "Check every recording and index entry of the catalog, and name what is damaged.",
       [](CLI::App&) -> plim::VerbRun { return plim::RunVerifyCommand; }},
      {"copy",
       "Copy a catalog into another store (LMDB directory or redis://HOST:PORT/NAME), keeping "
       "ids; run again to resume.",
       plim::DeclareCopy, false},
  };
  return plim::RunCommandLine(argc, argv, verbs);
}
