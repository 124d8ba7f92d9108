#include "tools/plim-catalog/verify_command.h"

#include "platform/catalog/lmdb/catalog.h"
#include "platform/catalog/redis/redis_catalog.h"
#include "platform/foundation/ns_error.h"
#include "platform/foundation/quoted_text.h"
#include "platform/foundation/standard_stream.h"
#include "tools/plim-catalog/json_line.h"
#include "tools/plim-catalog/number_text.h"
#include "tools/plim-catalog/store_warnings.h"

namespace plim {
namespace {

std::string DamageLine(const catalog::CatalogDamage& damage, bool json) {
  if (json) {
    JsonLine line;
    line.Text("damaged", damage.what);
    if (damage.id != 0) line.Integer("id", damage.id);
    if (!damage.source_path.empty()) line.Text("path", damage.source_path);
    return line.Finish();
  }
  std::string text = "damaged: ";
  if (damage.id != 0) {
    text += "recording " + std::to_string(damage.id);
    if (!damage.source_path.empty())
      text += " (" + foundation::QuotedText(damage.source_path) + ")";
    text += ": ";
  }
  return text + damage.what + "\n";
}

}  // namespace

int RunVerifyCommand(const GlobalOptions& global) {
  catalog::VerificationReport report;
  std::string directory;
  try {
    // A catalog of another fingerprint version can be checked too.
    catalog::OpenOptions options;
    options.accept_other_fingerprint_version = true;
    if (catalog::IsRedisLocation(global.catalog_directory)) {
      auto opened = catalog::RedisCatalog::Open(global.catalog_directory,
                                                catalog::CatalogStore::Mode::kReadOnly, options);
      directory = opened->location();
      WriteStoreWarnings(*opened);
      report = opened->Verify();
    } else {
      auto opened = catalog::Catalog::Open(global.catalog_directory,
                                           catalog::Catalog::Mode::kReadOnly, options);
      directory = opened->directory().string();
      report = opened->Verify();
    }
  } catch (const foundation::NSError& error) {
    foundation::writeToStandardError("plim-catalog: " + error.description() + "\n");
    return kExitFailure;
  }
  std::string out;
  for (const catalog::CatalogDamage& damage : report.damage) out += DamageLine(damage, global.json);
  if (global.json) {
    out += JsonLine()
               .Text("catalog", directory)
               .Boolean("intact", report.Intact())
               .Integer("recordings", report.recordings.size())
               .Integer("index_chunks", report.index_chunks)
               .Integer("postings", report.postings)
               .Integer("peak_blocks", report.peak_blocks)
               .Integer("unchecked_values", report.unchecked_values)
               .Integer("damaged", report.damage.size())
               .Finish();
  } else if (!global.quiet || !report.Intact()) {
    out += "catalog: " + directory +
           "\nchecked: " + Counted(report.recordings.size(), "recording", "recordings") + ", " +
           Counted(report.index_chunks, "index chunk", "index chunks") + ", " +
           Counted(report.postings, "posting", "postings") + ", " +
           Counted(report.peak_blocks, "peak block", "peak blocks") + "\n";
    if (report.unchecked_values > 0) {
      out += "without checksums: " + std::to_string(report.unchecked_values) +
             " values written by an older plim (plim-catalog rebuild --repair gives them "
             "checksums)\n";
    }
    const std::size_t problems = report.damage.size();
    out += problems == 0 ? std::string("intact\n")
                         : "damaged: " + std::to_string(problems) +
                               (problems == 1 ? " problem\n" : " problems\n");
  }
  foundation::writeToStandardOutput(out);
  if (report.Intact()) return kExitSuccess;
  foundation::writeToStandardError(
      "plim-catalog: the catalog at " + foundation::QuotedText(directory) +
      (catalog::IsRedisLocation(directory)
           ? " is damaged: make it again from its recordings' files, keeping ids and metadata, "
             "with plim-catalog copy into a new name\n"
           : " is damaged: rebuild it from its recordings' files, keeping ids and metadata, with "
             "plim-catalog rebuild --repair\n"));
  return kExitFailure;
}

}  // namespace plim
