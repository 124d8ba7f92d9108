// The commands that read the catalog: list, show, stats; and remove.

#ifndef PLIM_TOOLS_PLIM_CATALOG_INSPECT_COMMANDS_H_
#define PLIM_TOOLS_PLIM_CATALOG_INSPECT_COMMANDS_H_

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "platform/catalog/catalog_store.h"
#include "tools/plim-catalog/global_options.h"

namespace plim {

// Each writes its output to standard output and problems to standard
// error, and returns the exit status (0, or 1 on any failure). With
// global.json, data is written as one JSON object a line, with the fields
// of RecordingJson.

// Which recordings `list` shows: all those matching every field set.
struct ListFilter {
  std::optional<std::string> artist;  // a part of the artist, in any case
  std::optional<std::string> title;   // a part of the title, in any case
  std::optional<std::string> album;   // a part of the album, in any case
  std::optional<std::string> under;   // a folder the source file lies under
};

// True when `recording` passes `filter`.
bool MatchesFilter(const catalog::Recording& recording, const ListFilter& filter);

// One recording a line under a header: id, artist, title, duration (m:ss),
// source path, tab-separated.
int RunListCommand(const GlobalOptions& global, const ListFilter& filter);

// Every field of one recording, named by id or source path, one
// "name: value" line each.
int RunShowCommand(const GlobalOptions& global, const std::string& id);

// Recordings, hours of audio, postings, size on disk and bytes per hour.
int RunStatsCommand(const GlobalOptions& global);

// Removes each of `targets`: a recording id or the path a recording was
// added from (which need no longer exist): the recording with its copies;
// a copy's path: that copy alone; or a folder: every recording and copy
// from under it. Says what it removed unless quiet; with global.json, one
// line per recording or copy removed: action, id, artist, title, path,
// copy (even when quiet).
// With `dry_run`, names what would go (even when quiet) and changes nothing.
int RunRemoveCommand(const GlobalOptions& global, const std::vector<std::string>& targets,
                     bool dry_run);

// Removes the recordings whose source files are gone, with their copies,
// and the copies whose files are gone (with `dry_run`, only names them). A file that can't be
// checked (a folder without permission) counts as present.
int RunPruneCommand(const GlobalOptions& global, bool dry_run);

// clean: removes the leftovers of writers killed halfway that started at
// least `min_age_s` ago (CatalogStore::CleanLeftovers), and says how many.
int RunCleanCommand(const GlobalOptions& global, double min_age_s);

// The recording named by `target`: an id, the path it was added from, or
// the path of one of its copies.
std::optional<catalog::RecordingId> FindRecording(const catalog::CatalogReader& reader,
                                                  const std::string& target);

// The copies of `reader` that `picked` keeps, in path order.
std::vector<catalog::RecordingCopy> CopiesOf(
    const catalog::CatalogReader& reader,
    const std::function<bool(const catalog::RecordingCopy&)>& picked);

// `text` as one cell of a tab-separated table (foundation::ShownText): tabs,
// line breaks and every other control character escaped, so that no cell
// breaks the table or acts on the terminal. Pure.
std::string TableCell(std::string_view text);

// The JSON line of recording `id`, as list and show write it; "copies"
// lists the paths of `copies` when there are any.
std::string RecordingJson(catalog::RecordingId id, const catalog::Recording& recording,
                          const std::vector<catalog::RecordingCopy>& copies = {});

}  // namespace plim

#endif  // PLIM_TOOLS_PLIM_CATALOG_INSPECT_COMMANDS_H_
