#include "tools/plim-catalog/duplicates_command.h"

#include <algorithm>
#include <map>
#include <numeric>
#include <vector>

#include "platform/catalog/catalog_store.h"
#include "platform/fingerprint/fingerprint_params.h"
#include "platform/foundation/ns_error.h"
#include "platform/foundation/standard_stream.h"
#include "tools/plim-catalog/duration_text.h"
#include "tools/plim-catalog/inspect_commands.h"
#include "tools/plim-catalog/json_line.h"
#include "tools/plim-catalog/number_text.h"
#include "tools/plim-catalog/same_music.h"
#include "tools/plim-catalog/store_warnings.h"

namespace plim {
namespace {

using catalog::Recording;
using catalog::RecordingId;

// Groups of ids joined pair by pair (union-find over positions).
class Groups {
 public:
  explicit Groups(std::size_t count) : parent_(count) {
    std::iota(parent_.begin(), parent_.end(), std::size_t{0});
  }
  std::size_t Root(std::size_t i) {
    while (parent_[i] != i) i = parent_[i] = parent_[parent_[i]];
    return i;
  }
  // The lower position becomes the root, so that a group is known by its lowest id.
  void Join(std::size_t a, std::size_t b) {
    a = Root(a);
    b = Root(b);
    if (a != b) parent_[std::max(a, b)] = std::min(a, b);
  }

 private:
  std::vector<std::size_t> parent_;
};

}  // namespace

int RunDuplicatesCommand(const GlobalOptions& global) {
  try {
    std::unique_ptr<catalog::CatalogStore> catalog =
        catalog::OpenCatalogStore(global.catalog_directory, catalog::CatalogStore::Mode::kReadOnly);
    WriteStoreWarnings(*catalog);
    std::unique_ptr<catalog::CatalogReader> reader = catalog->NewCatalogReader();
    std::vector<std::pair<RecordingId, Recording>> recordings;
    reader->ForEachRecording([&](RecordingId id, const Recording& r) {
      recordings.emplace_back(id, r);
      return true;
    });
    std::map<RecordingId, std::size_t> position;
    for (std::size_t i = 0; i < recordings.size(); ++i) position[recordings[i].first] = i;
    Groups groups(recordings.size());
    // The kept peaks are the signature: nothing is decoded, and a recording
    // whose file is gone is compared all the same.
    for (std::size_t i = 0; i < recordings.size(); ++i) {
      const auto& [id, r] = recordings[i];
      fingerprint::Constellation query{{}, r.duration_s, {}};
      reader->ReadPeaks(id, 0, r.duration_s / fingerprint::kFrameDurationS + 1, query.peaks);
      if (query.peaks.empty()) continue;
      for (const SameMusic& same : FindSameMusic(*reader, query, id)) {
        if (auto it = position.find(same.id); it != position.end()) groups.Join(i, it->second);
      }
    }
    std::map<std::size_t, std::vector<std::size_t>> members;
    for (std::size_t i = 0; i < recordings.size(); ++i) members[groups.Root(i)].push_back(i);
    std::string out = global.json ? "" : "GROUP\tID\tARTIST\tTITLE\tDURATION\tPATH\n";
    std::size_t group_count = 0, grouped = 0;
    for (const auto& [root, group] : members) {
      if (group.size() < 2) continue;
      ++group_count;
      grouped += group.size();
      for (std::size_t i : group) {
        const auto& [id, r] = recordings[i];
        if (global.json) {
          out += JsonLine()
                     .Integer("group", group_count)
                     .Integer("id", id)
                     .Text("artist", r.artist)
                     .Text("title", r.title)
                     .Number("duration_s", r.duration_s, "%.3f")
                     .Text("path", r.source_path)
                     .Finish();
        } else {
          out += std::to_string(group_count) + '\t' + std::to_string(id) + '\t' +
                 TableCell(r.artist) + '\t' + TableCell(r.title) + '\t' +
                 FormatDuration(r.duration_s) + '\t' + TableCell(r.source_path) + '\n';
        }
      }
    }
    if (!global.json && group_count == 0) out.clear();
    foundation::writeToStandardOutput(out);
    if (!global.quiet) {
      foundation::writeToStandardError(
          "plim-catalog: " + Counted(group_count, "group", "groups") + " of the same music (" +
          Counted(grouped, "recording", "recordings") + ") among " +
          Counted(recordings.size(), "recording", "recordings") + "\n");
    }
    return 0;
  } catch (const foundation::NSError& error) {
    foundation::writeToStandardError("plim-catalog: " + error.description() + "\n");
    return 1;
  }
}

}  // namespace plim
