#include "tools/plim-catalog/add_dry_run.h"

#include <cstdint>
#include <memory>
#include <optional>

#include "platform/catalog/catalog_error.h"
#include "platform/catalog/catalog_store.h"
#include "platform/foundation/ns_error.h"
#include "platform/foundation/quoted_text.h"
#include "platform/foundation/standard_stream.h"
#include "tools/plim-catalog/audio_file_signature.h"
#include "tools/plim-catalog/file_ingest.h"
#include "tools/plim-catalog/store_warnings.h"

namespace plim {
namespace {

// The same audio as `id` holds: the file at `path` changed in its tags
// alone. False when it can't be decoded: add would then fail on it.
bool SameAudio(const std::string& path, catalog::RecordingId id,
               const catalog::CatalogReader& reader) {
  std::optional<catalog::Recording> recording = reader.GetRecording(id);
  if (!recording) return false;
  try {
    return SignAudioFile(path).content_hash == recording->content_hash;
  } catch (const foundation::NSError&) {
    return false;
  }
}

}  // namespace

int RunAddDryRun(const GlobalOptions& global, const AddCommandOptions& options,
                 const Discovery& discovery) {
  std::unique_ptr<catalog::CatalogStore> catalog;
  try {
    catalog::OpenOptions open_options;
    open_options.accept_other_fingerprint_version = true;
    catalog = catalog::OpenCatalogStore(global.catalog_directory,
                                        catalog::CatalogStore::Mode::kReadOnly, open_options);
  } catch (const foundation::NSError& error) {
    if (error.code() != catalog::kCatalogErrorNoCatalog) {
      foundation::writeToStandardError("plim-catalog: " + error.description() + "\n");
      return 1;
    }
  }
  if (catalog) WriteStoreWarnings(*catalog);
  std::string out;
  std::uint64_t counts[3] = {0, 0, 0};
  for (const Candidate& candidate : discovery.candidates) {
    std::optional<FileStamp> stamp = StampOf(candidate.path);
    KnownFile known;
    if (stamp && catalog) known = LookUpFile(candidate.path, *stamp, *catalog->NewCatalogReader());
    int what = known.unchanged ? 2 : known.id ? 1 : 0;
    if (what == 1 && !options.update_tags &&
        SameAudio(candidate.path, *known.id, *catalog->NewCatalogReader())) {
      what = 2;
    }
    ++counts[what];
    static constexpr const char* kWords[] = {"add", "update", "skip"};
    out += std::string(kWords[what]) + '\t' + foundation::ShownText(candidate.path) + '\n';
  }
  foundation::writeToStandardOutput(out);
  for (const DiscoveryProblem& problem : discovery.problems)
    foundation::writeToStandardError("plim-catalog: " + problem.message + "\n");
  if (!global.quiet) {
    foundation::writeToStandardError(
        "plim-catalog: dry run, nothing changed: would add " + std::to_string(counts[0]) +
        ", update " + std::to_string(counts[1]) + ", skip " + std::to_string(counts[2]) +
        " (files found in folders that do not decode as audio would be left out)\n");
  }
  return discovery.problems.empty() ? 0 : 1;
}

}  // namespace plim
